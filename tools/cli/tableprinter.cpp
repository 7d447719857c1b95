#include "tableprinter.h"

#include "zeltojsonwriter.h"

#include <QDateTime>

namespace {

// Columns of numbers read best right-aligned, header included.
QVector<bool> numericColumns(const ZeltoTable &table)
{
    QVector<bool> numeric(table.columnCount(), false);
    for (int c = 0; c < table.columnCount(); ++c) {
        bool any = false, all = true;
        for (int r = 0; r < table.rowCount() && all; ++r) {
            const QVariant value = table.value(r, c);
            if (!value.isValid())
                continue;
            any = true;
            all = Zelto::isNumber(value);
        }
        numeric[c] = any && all;
    }
    return numeric;
}

} // namespace

QString TablePrinter::cellText(const QVariant &value)
{
    if (!value.isValid())
        return QString();
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Double:
        return QString::number(value.toDouble(), 'g', 15);
    case QMetaType::QDateTime:
        return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    case QMetaType::QDate:
        return value.toDate().toString(QStringLiteral("yyyy-MM-dd"));
    case QMetaType::QTime:
        return value.toTime().toString(QStringLiteral("hh:mm:ss"));
    case QMetaType::QString:
        return value.toString();
    default:
        break;
    }
    if (Zelto::isNumber(value) || value.userType() == qMetaTypeId<ZeltoOutOfRange>()
        || value.userType() == qMetaTypeId<ZeltoUnused>())
        return value.toString();
    return QString::fromUtf8(ZeltoJsonWriter::toJson(value));
}

QString TablePrinter::render(const ZeltoTable &table)
{
    QVector<QStringList> texts(table.rowCount());
    for (int r = 0; r < table.rowCount(); ++r) {
        for (int c = 0; c < table.columnCount(); ++c)
            texts[r].append(cellText(table.value(r, c)));
    }
    return render(table.columnNames(), texts, numericColumns(table));
}

QString TablePrinter::render(const QStringList &header, const QVector<QStringList> &rows,
                             const QVector<bool> &rightAligned)
{
    const int columns = header.size();
    QVector<int> widths(columns);
    for (int c = 0; c < columns; ++c)
        widths[c] = header.at(c).size();
    QVector<QStringList> texts = rows;
    for (QStringList &row : texts) {
        while (row.size() < columns)
            row.append(QString());
        for (int c = 0; c < columns; ++c) {
            // Line breaks inside a cell would break the grid.
            row[c].replace(QLatin1Char('\n'), QLatin1Char(' '));
            widths[c] = qMax(widths[c], row.at(c).size());
        }
    }
    QString out;
    auto line = [&](const QStringList &cells) {
        QString text;
        for (int c = 0; c < columns; ++c) {
            if (c > 0)
                text += QLatin1String("  ");
            text += rightAligned.value(c) ? cells.at(c).rightJustified(widths[c]) : cells.at(c).leftJustified(widths[c]);
        }
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        out += text + QLatin1Char('\n');
    };
    line(header);
    QStringList rule;
    for (int c = 0; c < columns; ++c)
        rule.append(QString(widths[c], QLatin1Char('-')));
    line(rule);
    for (const QStringList &row : qAsConst(texts))
        line(row);
    return out;
}
