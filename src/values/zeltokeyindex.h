#pragma once

#include <QHash>
#include <QVariant>
#include <QVector>

#include <algorithm>

// Hash index from cell values to row numbers, so that lookups by key stay
// linear over a whole merge instead of quadratic. Keys match by kind and
// value: numbers by value whatever their type, date-times by instant, text
// exactly; a text "5" does not match the number 5.
class ZeltoKeyIndex
{
public:
    static bool sameKey(const QVariant &a, const QVariant &b);

    // Rows must be added in ascending order.
    void add(const QVariant &value, int row) { m_rows[hashOf(value)].append(row); }

    // First row at or after `from` whose cell (read through cellAt) matches.
    template <typename CellAt>
    int find(const QVariant &value, int from, CellAt cellAt) const
    {
        const auto it = m_rows.constFind(hashOf(value));
        if (it == m_rows.constEnd())
            return -1;
        const QVector<int> &rows = it.value();
        for (auto row = std::lower_bound(rows.begin(), rows.end(), from); row != rows.end(); ++row) {
            if (sameKey(cellAt(*row), value))
                return *row;
        }
        return -1;
    }

private:
    static quint64 hashOf(const QVariant &value);

    QHash<quint64, QVector<int>> m_rows;
};
