#pragma once

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QVector>

#include <functional>

// The process's operational counters for the operators' /metrics page.
// Subsystems describe their families once and then count into them; gauges
// are read through a function when the page is rendered. Safe from any
// thread (one mutex guards every family).
//
// render() gives the Prometheus text exposition format 0.0.4: for each
// family "# HELP name text" and "# TYPE name counter|gauge|histogram", then
// one line per series, `name{label="value"} number`. Families and series
// are written in name order so that two scrapes compare line by line. New
// families and labels may be added; a name once published keeps its
// meaning and type, so that dashboards stay valid.
class ZeltoMetrics
{
public:
    enum Type { Counter, Gauge, Histogram };
    using Reader = std::function<double()>;

    // Process-wide: the metrics page reports the whole process.
    static ZeltoMetrics *instance();

    // Describes a family; again with the same name changes nothing. A
    // histogram's bucket bounds are ascending upper bounds (+Inf is implied).
    // A counter counted by label shows no series until the first count; one
    // without shows 0.
    void describe(const QByteArray &name, Type type, const QByteArray &help,
                  const QVector<double> &buckets = QVector<double>(), const QByteArray &labelName = QByteArray());
    // A gauge read when the page is rendered (on the thread that renders).
    void describeGauge(const QByteArray &name, const QByteArray &help, Reader read);
    // Adds to a counter; with a label, to that label value's series.
    void add(const QByteArray &name, double amount = 1.0, const QByteArray &labelName = QByteArray(),
             const QString &labelValue = QString());
    // Counts one observation into a histogram.
    void observe(const QByteArray &name, double value);

    // A counter's current value (0 for a series not counted yet).
    double value(const QByteArray &name, const QString &labelValue = QString()) const;

    QByteArray render() const;

private:
    struct Family
    {
        Type type = Counter;
        QByteArray help;
        QByteArray labelName;
        QMap<QString, double> series;     // counters, by label value ("" without label)
        QVector<double> bounds;           // histograms
        QVector<quint64> bucketCounts;    // per bound, not cumulative; the last is +Inf
        double sum = 0;
        quint64 count = 0;
        Reader read;                      // gauges
    };

    mutable QMutex m_mutex;
    QMap<QByteArray, Family> m_families;  // guarded by m_mutex
};
