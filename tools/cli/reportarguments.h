#pragma once

#include <QChar>
#include <QCoreApplication>
#include <QDate>
#include <QString>
#include <QStringList>

// The command line of the report commands of orvex-cli:
//   report NODE FROM TO [--csv FILE|-] [--separator ';'|','] [--hours]
//   totals GROUP FROM TO [--csv FILE|-] [--separator ';'|',']
// with the days in ISO form (2025-03-01).
class ReportArguments
{
    Q_DECLARE_TR_FUNCTIONS(ReportArguments)

public:
    static bool isReportCommand(const QString &command);
    static QString usage();

    bool parse(const QString &command, const QStringList &words);   // false: error() says why
    QString error() const { return m_error; }

    QString command;
    int id = -1;
    QDate from;
    QDate to;
    bool csv = false;
    QString csvFile;           // "-": standard output
    QChar separator = QLatin1Char(';');
    bool hours = false;

private:
    bool fail(const QString &text);
    QString m_error;
};
