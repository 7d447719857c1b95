#include "metadatafile.h"

#include "zeltosystem.h"

#include <QCoreApplication>
#include <QDir>

MetadataFile::MetadataFile(const QString &folder, const QString &name) : m_file(QDir(folder).filePath(name))
{
}

bool MetadataFile::report(const QString &logText)
{
    m_failure = logText;
    ZeltoSystem::instance()->log(ZeltoSystem::LogError, logText);
    return false;
}

bool MetadataFile::open()
{
    if (!m_file.open(QIODevice::ReadOnly))
        return report(path() + QStringLiteral(": ") + m_file.errorString());
    m_xml.setDevice(&m_file);
    return true;
}

bool MetadataFile::enterDocument()
{
    if (!m_xml.readNextStartElement() && !m_xml.hasError())
        m_xml.raiseError(QCoreApplication::translate("MetadataFile", "Нет корневого элемента"));
    return !m_xml.hasError() || finish();
}

bool MetadataFile::finish()
{
    while (!m_xml.atEnd() && !m_xml.hasError())
        m_xml.readNext();
    if (!m_xml.hasError())
        return true;
    const QString text = m_xml.errorString()
        + QCoreApplication::translate("MetadataFile", " (file: %1, line: %2, column: %3)")
              .arg(path())
              .arg(m_xml.lineNumber())
              .arg(m_xml.columnNumber());
    return report(text);
}

bool MetadataFile::boolAttribute(const QXmlStreamReader &xml, const QString &name)
{
    return xml.attributes().value(name) == QLatin1String("true");
}

QString MetadataFile::textAttribute(const QXmlStreamReader &xml, const QString &name)
{
    return xml.attributes().value(name).toString();
}

int MetadataFile::intAttribute(QXmlStreamReader &xml, const QString &name, int defaultValue, int min, int max)
{
    const QString text = textAttribute(xml, name).trimmed();
    if (text.isEmpty())
        return defaultValue;
    bool ok = false;
    const int value = text.toInt(&ok);
    if (ok && value >= min && value <= max)
        return value;
    xml.raiseError(QCoreApplication::translate("MetadataFile", "Атрибут %1 должен быть целым числом от %2 до %3, а не «%4»")
                       .arg(name)
                       .arg(min)
                       .arg(max)
                       .arg(text));
    return defaultValue;
}

QString MetadataFile::requiredAttribute(QXmlStreamReader &xml, const QString &name)
{
    const QString value = textAttribute(xml, name).trimmed();
    if (value.isEmpty())
        xml.raiseError(QCoreApplication::translate("MetadataFile", "Элемент %1 без атрибута %2")
                           .arg(xml.name().toString(), name));
    return value;
}

bool MetadataFile::nextChild(QXmlStreamReader &xml, QLatin1String childName)
{
    while (xml.readNextStartElement()) {
        if (xml.name() == childName)
            return true;
        xml.skipCurrentElement();
    }
    return false;
}

QStringList MetadataFile::childTexts(QXmlStreamReader &xml, QLatin1String childName)
{
    QStringList texts;
    while (nextChild(xml, childName))
        texts.append(xml.readElementText().trimmed());
    return texts;
}
