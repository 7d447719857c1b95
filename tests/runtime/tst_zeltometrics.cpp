#include "zeltometrics.h"

#include <QtTest>

// The text the /metrics page serves: families in name order, labels
// escaped, histogram buckets cumulative with inclusive upper bounds.
class TestZeltoMetrics : public QObject
{
    Q_OBJECT

private slots:
    void rendersExpositionFormat()
    {
        ZeltoMetrics metrics;
        metrics.describe("b_total", ZeltoMetrics::Counter, "Labelled.", {}, "command");
        metrics.describe("e_total", ZeltoMetrics::Counter, "Labelled, nothing counted yet.", {}, "command");
        metrics.describe("a_total", ZeltoMetrics::Counter, "Nothing counted yet.");
        metrics.describe("c_seconds", ZeltoMetrics::Histogram, "Durations.", {0.5, 1});
        metrics.describe("c_seconds", ZeltoMetrics::Counter, "Described again: ignored.");
        double level = 2.5;
        metrics.describeGauge("d_level", "Read when rendered.", [&level]() { return level; });
        metrics.add("b_total", 1, "command", QStringLiteral("getNodes"));
        metrics.add("b_total", 2, "command", QStringLiteral("getNodes"));
        metrics.add("b_total", 1, "command", QStringLiteral("say \"hi\"\\\nnow"));
        for (double seconds : {0.1, 0.5, 0.75, 1.0, 7.0})
            metrics.observe("c_seconds", seconds);
        metrics.observe("b_total", 3);   // not a histogram: nothing happens
        level = 1e-3;

        QCOMPARE(metrics.value("b_total", QStringLiteral("getNodes")), 3.0);
        const QByteArray expected = "# HELP a_total Nothing counted yet.\n"
                                    "# TYPE a_total counter\n"
                                    "a_total 0\n"
                                    "# HELP b_total Labelled.\n"
                                    "# TYPE b_total counter\n"
                                    "b_total{command=\"getNodes\"} 3\n"
                                    "b_total{command=\"say \\\"hi\\\"\\\\\\nnow\"} 1\n"
                                    "# HELP c_seconds Durations.\n"
                                    "# TYPE c_seconds histogram\n"
                                    "c_seconds_bucket{le=\"0.5\"} 2\n"
                                    "c_seconds_bucket{le=\"1\"} 4\n"
                                    "c_seconds_bucket{le=\"+Inf\"} 5\n"
                                    "c_seconds_sum 9.35\n"
                                    "c_seconds_count 5\n"
                                    "# HELP d_level Read when rendered.\n"
                                    "# TYPE d_level gauge\n"
                                    "d_level 0.001\n"
                                    "# HELP e_total Labelled, nothing counted yet.\n"
                                    "# TYPE e_total counter\n";
        QCOMPARE(metrics.render(), expected);
    }
};

QTEST_GUILESS_MAIN(TestZeltoMetrics)
#include "tst_zeltometrics.moc"
