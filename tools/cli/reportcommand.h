#pragma once

#include "reportarguments.h"

#include <QCoreApplication>
#include <QMap>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class ParameterColumns;
class ReportSheet;
class ZeltoClient;

// The report commands of orvex-cli: asks the server for a node's report or
// a group's totals and for the descriptions of the parameters in them, and
// prints what a person reads (heading, daily rows, summary rows) or writes
// the same rows as CSV.
class ReportCommand
{
    Q_DECLARE_TR_FUNCTIONS(ReportCommand)

public:
    ReportCommand(ZeltoClient &client, int timeoutMs, bool loggedIn)
        : m_client(client), m_timeoutMs(timeoutMs), m_loggedIn(loggedIn)
    {
    }

    // The exit code of orvex-cli: 0 done, 1 the server refused or had
    // nothing to report, 2 the server cannot be reached, 3 the output file
    // cannot be written.
    int run(const ReportArguments &args);

private:
    bool call(const QString &name, const QVariantList &params, QVariant &result);
    // The record a get command gives for id; false with missing as the
    // reason when it is empty (unknown, or not visible to the user).
    bool record(const QString &command, int id, const QString &missing, QVariantMap &out);
    bool describe(const QString &model, const QVariantMap &values, ParameterColumns &columns);
    bool report(const ReportArguments &args, ReportSheet &sheet);
    bool totals(const ReportArguments &args, ReportSheet &sheet);
    // Notes why the report cannot be made; false.
    bool refuse(const QString &message);
    int fail(const QString &message, int code);
    // Under the table: what the codes of the flags set in it mean.
    void flagLegend(const ParameterColumns &columns, const QMap<QString, quint64> &shown);
    int write(const ReportArguments &args, const ReportSheet &sheet);

    ZeltoClient &m_client;
    int m_timeoutMs;
    bool m_loggedIn;
    int m_failureCode = 1;
    QString m_error;           // why the last step failed
    QStringList m_heading;     // lines above the table
    QStringList m_footnotes;   // lines below it
};
