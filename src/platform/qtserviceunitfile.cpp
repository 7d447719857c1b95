#include "qtserviceunitfile.h"

namespace {

// A unit value is one line, and '%' starts a systemd specifier.
QString unitValue(QString value)
{
    value.replace(QLatin1Char('\r'), QLatin1Char(' '));
    value.replace(QLatin1Char('\n'), QLatin1Char(' '));
    value.replace(QLatin1Char('%'), QLatin1String("%%"));
    return value.trimmed();
}

// ExecStart splits on blanks and expands '$': quote the path so that any
// folder name survives.
QString commandWord(const QString &path)
{
    QString word = unitValue(path);
    word.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    word.replace(QLatin1Char('"'), QLatin1String("\\\""));
    word.replace(QLatin1Char('$'), QLatin1String("$$"));
    if (word.contains(QLatin1Char(' ')) || word.contains(QLatin1Char('\t')) || word.contains(QLatin1Char('\\'))
        || word.contains(QLatin1Char('"')))
        word = QLatin1Char('"') + word + QLatin1Char('"');
    return word;
}

} // namespace

QtServiceUnitFile::QtServiceUnitFile(const QString &serviceName, const QString &description,
                                     QtServiceController::StartupType startupType, const QString &programPath)
    : m_name(serviceName), m_description(description), m_startupType(startupType), m_programPath(programPath)
{
}

QString QtServiceUnitFile::text() const
{
    const QString description = unitValue(m_description.isEmpty() ? m_name : m_description);
    QString unit;
    unit += QLatin1String("[Unit]\n");
    unit += QLatin1String("Description=") + description + QLatin1Char('\n');
    unit += QLatin1String("After=network.target\n");
    unit += QLatin1Char('\n');
    unit += QLatin1String("[Service]\n");
    unit += QLatin1String("Type=simple\n");
    unit += QLatin1String("ExecStart=") + commandWord(m_programPath) + QLatin1Char('\n');
    unit += QLatin1String("Restart=on-failure\n");
    // Every client holds a descriptor: the default soft limit of 1024 would
    // be reached long before the listeners' own caps.
    unit += QLatin1String("LimitNOFILE=65536\n");
    if (m_startupType == QtServiceController::AutoStartup) {
        unit += QLatin1Char('\n');
        unit += QLatin1String("[Install]\n");
        unit += QLatin1String("WantedBy=multi-user.target\n");
    }
    return unit;
}
