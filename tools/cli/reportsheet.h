#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <QVector>

// A report as a grid of cells already written as text: a header row of
// titles and the rows under it, shown on a terminal as aligned columns or
// written as CSV.
class ReportSheet
{
public:
    void setHeader(const QStringList &titles, const QVector<bool> &rightAligned);
    void addRow(const QStringList &cells);
    bool isEmpty() const { return m_rows.isEmpty(); }

    QString text() const;
    QString csv(QChar separator) const;

private:
    QStringList m_header;
    QVector<bool> m_right;
    QVector<QStringList> m_rows;
};
