#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>

// One metadata file opened for reading as XML. Failures are kept (failure())
// and logged: the file's name and its own error text when it cannot be
// opened, the parser's message with file, line and column when it cannot be
// read (readers add their own complaints with QXmlStreamReader::raiseError,
// so those carry the place too).
class MetadataFile
{
public:
    MetadataFile(const QString &folder, const QString &name);

    QString path() const { return m_file.fileName(); }
    bool open();
    QXmlStreamReader &xml() { return m_xml; }
    // Moves to the document element; false (reported) when there is none.
    bool enterDocument();
    // Reads to the end of the document so that nothing after the part the
    // reader needed goes unchecked; false (reported) on any error.
    bool finish();
    // The reported failure, for the catalogue's load error; empty if none.
    QString failure() const { return m_failure; }

    // Attribute helpers: "true" is the only true value, anything else is false.
    static bool boolAttribute(const QXmlStreamReader &xml, const QString &name);
    static QString textAttribute(const QXmlStreamReader &xml, const QString &name);
    // A whole number within [min, max]; the default when the attribute is
    // absent or empty; raises a parse error otherwise.
    static int intAttribute(QXmlStreamReader &xml, const QString &name, int defaultValue, int min, int max);
    // A code attribute that must not be empty; raises a parse error otherwise.
    static QString requiredAttribute(QXmlStreamReader &xml, const QString &name);
    // Moves to the current element's next child named childName, skipping
    // other children; false when there is none left (or on a parse error).
    static bool nextChild(QXmlStreamReader &xml, QLatin1String childName);
    // The trimmed texts of the current element's children named childName;
    // other children are skipped.
    static QStringList childTexts(QXmlStreamReader &xml, QLatin1String childName);

private:
    // Keeps and logs the failure; false.
    bool report(const QString &logText);

    QFile m_file;
    QXmlStreamReader m_xml;
    QString m_failure;
};
