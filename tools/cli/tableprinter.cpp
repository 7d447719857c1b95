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

// Greedy word wrap at blanks; a word longer than width gets a line of its own.
QStringList wrapped(const QString &text, int width)
{
    QStringList lines;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!lines.isEmpty() && lines.last().size() + 1 + word.size() <= width)
            lines.last() += QLatin1Char(' ') + word;
        else
            lines.append(word);
    }
    return lines.isEmpty() ? QStringList{QString()} : lines;
}

} // namespace

QString TablePrinter::cellText(const QVariant &value)
{
    // A typed null (a NULL of an integer column) would read "0".
    if (!value.isValid() || value.isNull())
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
                             const QVector<bool> &rightAligned, int wrapAt)
{
    const int columns = header.size();
    QVector<int> widths(columns, 0);
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
    QVector<QStringList> headerLines(columns);
    int headerHeight = 1;
    for (int c = 0; c < columns; ++c) {
        headerLines[c] = wrapAt > 0 ? wrapped(header.at(c), qMax(widths[c], wrapAt)) : QStringList{header.at(c)};
        for (const QString &text : qAsConst(headerLines[c]))
            widths[c] = qMax(widths[c], text.size());
        headerHeight = qMax(headerHeight, headerLines[c].size());
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
    for (int i = 0; i < headerHeight; ++i) {
        QStringList cells;
        for (int c = 0; c < columns; ++c)
            cells.append(headerLines[c].value(i));
        line(cells);
    }
    QStringList rule;
    for (int c = 0; c < columns; ++c)
        rule.append(QString(widths[c], QLatin1Char('-')));
    line(rule);
    for (const QStringList &row : qAsConst(texts))
        line(row);
    return out;
}
