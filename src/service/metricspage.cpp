#include "metricspage.h"

#include "database.h"
#include "zeltohttpserver.h"
#include "zeltometrics.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPointer>

namespace {

double fileSize(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() ? double(info.size()) : 0.0;
}

} // namespace

void MetricsPage::install(std::function<bool()> active, Database *database)
{
    // The gauges outlive the database when the server turns standby.
    const QPointer<Database> open(database);
    ZeltoMetrics *metrics = ZeltoMetrics::instance();
    metrics->describeGauge("orvex_server_active",
                           "1 on the active server of its database, 0 on a standby.",
                           [active]() { return active() ? 1.0 : 0.0; });
    metrics->describeGauge("orvex_database_size_bytes", "Size of the database file.", [open]() {
        // On PostgreSQL the database's size as PostgreSQL counts it.
        if (open && open->sqlDialect().kind() == SqlDialect::PostgreSQL)
            return open->row(QStringLiteral("SELECT CAST(pg_database_size(current_database()) AS DOUBLE PRECISION) AS size"))
                .value()
                .value(QStringLiteral("size"))
                .toDouble();
        return open ? fileSize(open->filePath()) : 0.0;
    });
    metrics->describeGauge("orvex_database_wal_size_bytes", "Size of the database's write-ahead log.", [open]() {
        const QString file = open ? open->filePath() : QString();
        return file.isEmpty() ? 0.0 : fileSize(file + QStringLiteral("-wal"));
    });
    metrics->describeGauge("orvex_last_backup_timestamp_seconds",
                           "Unix time of the last successful backup; 0 when there has been none.", [open]() {
                               if (!open)
                                   return 0.0;
                               const QDateTime last = open->setting(QStringLiteral("lastBackup")).value().toDateTime();
                               return last.isValid() ? double(last.toSecsSinceEpoch()) : 0.0;
                           });
    ZeltoHttpServer::global()->route("/metrics", &MetricsPage::serve);
}

void MetricsPage::serve(const ZeltoHttpRequest &request, ZeltoHttpResponse &response)
{
    if (!ZeltoHttpServer::allowOnly(request, response, {"GET", "HEAD"}))
        return;
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    response.body = ZeltoMetrics::instance()->render();
}
