#include "reportsheet.h"

#include "csvwriter.h"
#include "tableprinter.h"

void ReportSheet::setHeader(const QStringList &titles, const QVector<bool> &rightAligned)
{
    m_header = titles;
    m_right = rightAligned;
}

void ReportSheet::addRow(const QStringList &cells)
{
    m_rows.append(cells);
}

QString ReportSheet::text() const
{
    // Parameter titles are long: a terminal shows them on several lines.
    const int headerWrap = 16;
    return TablePrinter::render(m_header, m_rows, m_right, headerWrap);
}

QString ReportSheet::csv(QChar separator) const
{
    CsvWriter writer(separator);
    writer.addRecord(m_header);
    for (const QStringList &row : m_rows)
        writer.addRecord(row);
    return writer.text();
}
