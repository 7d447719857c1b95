#include "zeltometrics.h"

#include <QLocale>
#include <QMutexLocker>

#include <cmath>

namespace {

// Numbers as the exposition format writes them: shortest round-trip form,
// integers without a fraction, and its own spellings of the special values.
QByteArray number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        return QByteArray::number(qint64(value));
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

// A label value escapes backslash, double quote and line feed.
QByteArray labelText(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

ZeltoMetrics *ZeltoMetrics::instance()
{
    static ZeltoMetrics metrics;
    return &metrics;
}

void ZeltoMetrics::describe(const QByteArray &name, Type type, const QByteArray &help, const QVector<double> &buckets,
                           const QByteArray &labelName)
{
    QMutexLocker lock(&m_mutex);
    if (m_families.contains(name))
        return;
    Family &family = m_families[name];
    family.type = type;
    family.help = help;
    family.labelName = labelName;
    family.bounds = buckets;
    family.bucketCounts.fill(0, buckets.size() + 1);
}

void ZeltoMetrics::describeGauge(const QByteArray &name, const QByteArray &help, Reader read)
{
    QMutexLocker lock(&m_mutex);
    Family &family = m_families[name];
    family.type = Gauge;
    family.help = help;
    family.read = std::move(read);
}

void ZeltoMetrics::add(const QByteArray &name, double amount, const QByteArray &labelName, const QString &labelValue)
{
    QMutexLocker lock(&m_mutex);
    Family &family = m_families[name];
    if (!labelName.isEmpty())
        family.labelName = labelName;
    family.series[labelValue] += amount;
}

void ZeltoMetrics::observe(const QByteArray &name, double value)
{
    QMutexLocker lock(&m_mutex);
    auto it = m_families.find(name);
    if (it == m_families.end() || it->type != Histogram)
        return;
    int bucket = 0;
    while (bucket < it->bounds.size() && value > it->bounds.at(bucket))
        ++bucket;
    ++it->bucketCounts[bucket];
    it->sum += value;
    ++it->count;
}

double ZeltoMetrics::value(const QByteArray &name, const QString &labelValue) const
{
    QMutexLocker lock(&m_mutex);
    return m_families.value(name).series.value(labelValue);
}

QByteArray ZeltoMetrics::render() const
{
    // Gauges are read without the lock held: a reader may count, too.
    QMap<QByteArray, Reader> readers;
    {
        QMutexLocker lock(&m_mutex);
        for (auto it = m_families.constBegin(); it != m_families.constEnd(); ++it)
            if (it->read)
                readers.insert(it.key(), it->read);
    }
    QMap<QByteArray, double> gauges;
    for (auto it = readers.constBegin(); it != readers.constEnd(); ++it)
        gauges.insert(it.key(), it.value()());

    QMutexLocker lock(&m_mutex);
    QByteArray out;
    for (auto it = m_families.constBegin(); it != m_families.constEnd(); ++it) {
        const QByteArray &name = it.key();
        const Family &family = it.value();
        static const char *const typeNames[] = {"counter", "gauge", "histogram"};
        if (!family.help.isEmpty())
            out += "# HELP " + name + ' ' + family.help + '\n';
        out += "# TYPE " + name + ' ' + typeNames[family.type] + '\n';
        if (family.type == Histogram) {
            quint64 cumulative = 0;
            for (int i = 0; i < family.bucketCounts.size(); ++i) {
                cumulative += family.bucketCounts.at(i);
                const QByteArray bound = i < family.bounds.size() ? number(family.bounds.at(i)) : QByteArray("+Inf");
                out += name + "_bucket{le=\"" + bound + "\"} " + QByteArray::number(cumulative) + '\n';
            }
            out += name + "_sum " + number(family.sum) + '\n';
            out += name + "_count " + QByteArray::number(family.count) + '\n';
        } else if (family.read) {
            out += name + ' ' + number(gauges.value(name)) + '\n';
        } else if (family.series.isEmpty() && family.labelName.isEmpty()) {
            // A counter nobody has counted into yet is still published, as 0.
            out += name + " 0\n";
        } else {
            for (auto series = family.series.constBegin(); series != family.series.constEnd(); ++series) {
                out += name;
                if (!family.labelName.isEmpty())
                    out += '{' + family.labelName + "=\"" + labelText(series.key()) + "\"}";
                out += ' ' + number(series.value()) + '\n';
            }
        }
    }
    return out;
}
