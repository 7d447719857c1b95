#include "reportcommand.h"

#include "answerexplainer.h"
#include "parametercolumns.h"
#include "reportsheet.h"
#include "zeltoclient.h"
#include "zeltotable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace {

enum ExitCode { ExitOk = 0, ExitRefused = 1, ExitUnreachable = 2, ExitOutput = 3 };

const QString kDate = QStringLiteral("date");
const QString kCalc = QStringLiteral("calc");
const QString kCalcV = QStringLiteral("calcV");
const QString kDash = QStringLiteral("—");

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString day(const QDate &date)
{
    return date.toString(QStringLiteral("dd.MM.yyyy"));
}

// The device's unit and scheme settings: shown once above the table, not
// in every row.
bool isSetting(const QString &code)
{
    const QString base = code.size() > 3 && code.at(0) == QLatin1Char('S') && code.at(2) == QLatin1Char('_')
        ? code.mid(3)
        : code;
    return base == QLatin1String("Qdim") || base == QLatin1String("Pdim") || base == QLatin1String("scheme");
}

// For each column of the rows, its newest value that tells what the device
// delivers (a parameter it does not deliver is left out).
QVariantMap newestValues(const ZeltoTable &table)
{
    QVariantMap values;
    for (int c = 0; c < table.columnCount(); ++c) {
        for (int row = table.rowCount() - 1; row >= 0; --row) {
            const QVariant value = table.value(row, c);
            if (!value.isNull() && value.userType() != qMetaTypeId<ZeltoUnused>()) {
                values.insert(table.columnName(c), value);
                break;
            }
        }
    }
    return values;
}

// What a cell looks like on the terminal and in CSV: CSV takes the decimal
// comma with the semicolon, as spreadsheets in Russian locales expect.
// A flag word is the flags' codes on a terminal, with a legend under the
// table, and their titles in CSV, where a spreadsheet shows no legend.
struct CellStyle {
    QChar decimalMark;
    QString unused;
    bool flagTitles;
};

CellStyle styleFor(const ReportArguments &args)
{
    if (!args.csv)
        return {QLatin1Char('.'), kDash, false};
    return {args.separator == QLatin1Char(';') ? QLatin1Char(',') : QLatin1Char('.'), QString(), true};
}

// A field of a record as text; null is nothing, not "0".
QString field(const QVariantMap &record, const QString &name)
{
    return ParameterColumns::plainText(record.value(name), QLatin1Char('.'), QString());
}

QString field(const ZeltoTable &table, int row, const QString &name)
{
    return ParameterColumns::plainText(table.value(row, name), QLatin1Char('.'), QString());
}

// Why a file cannot be written, in words and with the folder meant: Qt's
// own text is English where no translation is installed.
QString fileProblem(const QString &path, const QFileDevice &file)
{
    const QFileInfo info(path);
    const QFileInfo folder(info.absolutePath());
    if (!folder.exists())
        return ReportCommand::tr("нет папки %1").arg(QDir::toNativeSeparators(folder.absoluteFilePath()));
    if (!folder.isDir())
        return ReportCommand::tr("%1 - не папка").arg(QDir::toNativeSeparators(folder.absoluteFilePath()));
    if (info.isDir())
        return ReportCommand::tr("это папка");
    if (!folder.isWritable() || (info.exists() && !info.isWritable()))
        return ReportCommand::tr("нет прав на запись");
    switch (file.error()) {
    case QFileDevice::ResourceError:
        return ReportCommand::tr("нет места на диске или исчерпан ресурс системы");
    case QFileDevice::WriteError:
        return ReportCommand::tr("ошибка записи на диск");
    default:
        return ReportCommand::tr("ошибка ввода-вывода");
    }
}

QStringList shownCodes(const ParameterColumns &columns)
{
    QStringList codes;
    for (const QString &code : columns.codes()) {
        if (!isSetting(code))
            codes.append(code);
    }
    return codes;
}

} // namespace

bool ReportCommand::call(const QString &name, const QVariantList &params, QVariant &result)
{
    if (!m_client.request(name, params) || !m_client.waitForResponse(m_timeoutMs)) {
        m_failureCode = m_client.errorCode() != 0 ? ExitRefused : ExitUnreachable;
        return refuse(m_client.errorString());
    }
    result = m_client.result();
    return true;
}

bool ReportCommand::describe(const QString &model, const QVariantMap &values, ParameterColumns &columns)
{
    QVariantList codes, cells;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        codes.append(it.key());
        cells.append(it.value());
    }
    QVariant description;
    if (!call(QStringLiteral("describeParams"), {model, codes, cells}, description))
        return false;
    columns.add(description.toMap());
    return true;
}

bool ReportCommand::refuse(const QString &message)
{
    m_error = message;
    return false;
}

int ReportCommand::fail(const QString &message, int code)
{
    print(stderr, message + QLatin1Char('\n'));
    return code;
}

int ReportCommand::run(const ReportArguments &args)
{
    ReportSheet sheet;
    const bool ok = args.command == QLatin1String("report") ? report(args, sheet) : totals(args, sheet);
    if (!ok)
        return fail(AnswerExplainer::serverError(m_error, m_loggedIn), m_failureCode);
    return write(args, sheet);
}

bool ReportCommand::record(const QString &command, int id, const QString &missing, QVariantMap &out)
{
    QVariant result;
    if (!call(command, {id}, result))
        return false;
    out = result.toMap();
    return !out.isEmpty() || refuse(missing);
}

bool ReportCommand::report(const ReportArguments &args, ReportSheet &sheet)
{
    QVariantMap node;
    if (!record(QStringLiteral("getNode"), args.id, tr("Узел %1 не найден или недоступен").arg(args.id), node))
        return false;
    QVariant result;
    if (!call(QStringLiteral("getReportData"), {args.id, args.from, args.to}, result))
        return false;
    const ZeltoTableMap report = result.value<ZeltoTableMap>();
    const ZeltoTable days = report.value(QStringLiteral("day_data"));
    if (days.rowCount() == 0)
        return refuse(
            tr("Нет суточных данных узла %1 за период %2 - %3").arg(args.id).arg(day(args.from), day(args.to)));

    const QVariantMap info = report.value(QStringLiteral("info")).toMap(0);
    const QString model = info.value(QStringLiteral("model_code")).toString();
    const ZeltoTable rows = args.hours ? report.value(QStringLiteral("hour_data")) : days;
    ParameterColumns columns;
    if (!describe(model, newestValues(days), columns))
        return false;

    const CellStyle style = styleFor(args);
    const QStringList codes = shownCodes(columns);
    QStringList titles{tr("Дата")};
    for (const QString &code : codes)
        titles.append(columns.heading(code));
    QVector<bool> right(titles.size(), true);
    right[0] = false;
    sheet.setHeader(titles, right);

    bool estimated = false;
    QMap<QString, quint64> flagsShown;
    auto addRow = [&](const ZeltoTable &table, int row, const QString &date, bool calc) {
        estimated = estimated || calc;
        QStringList cells{calc ? date + QLatin1String(" *") : date};
        for (const QString &code : codes) {
            const QVariant value = table.value(row, code);
            quint64 bits = 0;
            if (columns.isFlags(code) && ParameterColumns::flagBits(value, bits))
                flagsShown[code] |= bits;
            cells.append(columns.text(code, value, style.decimalMark, style.unused, style.flagTitles));
        }
        sheet.addRow(cells);
    };
    for (int row = 0; row < rows.rowCount(); ++row)
        addRow(rows, row, ParameterColumns::plainText(rows.value(row, kDate), style.decimalMark, QString()),
               rows.value(row, kCalc).toBool());
    const QStringList summaries = args.hours
        ? QStringList{QStringLiteral("hour_middles")}
        : QStringList{QStringLiteral("range_totals"), QStringLiteral("range_middles"), QStringLiteral("first_totals"),
                      QStringLiteral("last_totals")};
    // Readings carried over days or derived from the current one are
    // computed ("calc"; servers before it said only "calcV").
    for (const QString &name : summaries) {
        const ZeltoTable summary = report.value(name);
        if (summary.rowCount() > 0)
            addRow(summary, 0, field(summary, 0, kDate),
                   summary.value(0, kCalc).toBool() || summary.value(0, kCalcV).toBool());
    }

    const QVariantMap group = report.value(QStringLiteral("group")).toMap(0);
    m_heading << tr("Узел учета: %1").arg(field(info, QStringLiteral("name")))
              << tr("Тип прибора: %1, заводской номер %2")
                     .arg(field(info, QStringLiteral("model_name")), field(info, QStringLiteral("number")))
              << tr("Группа: %1").arg(field(group, QStringLiteral("name")));
    const QString consumer = field(info, QStringLiteral("consumer"));
    if (!consumer.isEmpty())
        m_heading << tr("Потребитель: %1").arg(consumer);
    const QString address = field(info, QStringLiteral("address"));
    if (!address.isEmpty())
        m_heading << tr("Адрес: %1").arg(address);
    m_heading << tr("Период: %1 - %2").arg(day(args.from), day(args.to));
    for (const QString &code : columns.codes()) {
        if (isSetting(code))
            m_heading << columns.heading(code, false) + QLatin1String(": ")
                    + columns.text(code, days.value(days.rowCount() - 1, code), style.decimalMark, style.unused);
    }
    if (estimated)
        m_footnotes << tr("* расчетные значения");
    flagLegend(columns, flagsShown);
    return true;
}

void ReportCommand::flagLegend(const ParameterColumns &columns, const QMap<QString, quint64> &shown)
{
    for (auto it = shown.constBegin(); it != shown.constEnd(); ++it) {
        if (it.value() != 0)
            m_footnotes << columns.heading(it.key(), false) + QLatin1String(": ")
                    + columns.flagLegend(it.key(), it.value()).join(QLatin1String("; "));
    }
}

bool ReportCommand::totals(const ReportArguments &args, ReportSheet &sheet)
{
    QVariantMap group;
    if (!record(QStringLiteral("getGroup"), args.id, tr("Группа %1 не найдена или недоступна").arg(args.id), group))
        return false;
    QVariant result;
    if (!call(QStringLiteral("getNodes"), {}, result))
        return false;
    const ZeltoTable nodes = result.value<ZeltoTable>();
    QVariantList ids;
    QMap<int, QString> names;
    for (int row = 0; row < nodes.rowCount(); ++row) {
        if (nodes.value(row, QStringLiteral("group_id")).toInt() != args.id)
            continue;
        const int id = nodes.value(row, QStringLiteral("id")).toInt();
        ids.append(id);
        names.insert(id, nodes.value(row, QStringLiteral("name")).toString());
    }
    if (!call(QStringLiteral("getGroupTotals"), {QVariant(ids), args.from, args.to}, result))
        return false;
    const ZeltoTable totals = result.value<ZeltoTable>();
    if (totals.rowCount() == 0)
        return refuse(
            tr("Нет суточных данных узлов группы %1 за период %2 - %3").arg(args.id).arg(day(args.from), day(args.to)));

    // Each node is described for its own model and settings; a column shows
    // its unit in the heading when every node has the same one, and in each
    // cell otherwise.
    const QStringList fixed = {QStringLiteral("node_id"),    QStringLiteral("model_code"),
                               QStringLiteral("model_name"), QStringLiteral("number"),
                               QStringLiteral("first_date"), QStringLiteral("last_date")};
    QVector<ParameterColumns> described(totals.rowCount());
    for (int row = 0; row < totals.rowCount(); ++row) {
        QVariantMap values = totals.toMap(row);
        for (const QString &column : fixed)
            values.remove(column);
        for (auto it = values.begin(); it != values.end();)
            it = it->isNull() ? values.erase(it) : it + 1;
        ParameterColumns columns;
        if (!describe(totals.value(row, QStringLiteral("model_code")).toString(), values, columns))
            return false;
        described[row] = columns;
    }
    QStringList codes;
    for (const ParameterColumns &columns : qAsConst(described)) {
        for (const QString &code : shownCodes(columns)) {
            if (!codes.contains(code))
                codes.append(code);
        }
    }
    QStringList titles{tr("Узел учета"), tr("Тип прибора"), tr("Заводской номер"), tr("С"), tr("По")};
    QVector<bool> right(titles.size(), false);
    QSet<QString> unitInCells;
    for (const QString &code : qAsConst(codes)) {
        QSet<QString> units;
        const ParameterColumns *first = nullptr;
        for (const ParameterColumns &columns : qAsConst(described)) {
            if (!columns.contains(code))
                continue;
            units.insert(columns.column(code).unit);
            if (!first)
                first = &columns;
        }
        if (units.size() > 1)
            unitInCells.insert(code);
        titles.append(first->heading(code, units.size() == 1));
        right.append(true);
    }
    sheet.setHeader(titles, right);

    const CellStyle style = styleFor(args);
    for (int row = 0; row < totals.rowCount(); ++row) {
        const int id = totals.value(row, QStringLiteral("node_id")).toInt();
        QStringList cells{names.value(id), field(totals, row, QStringLiteral("model_name")),
                          field(totals, row, QStringLiteral("number")),
                          ParameterColumns::plainText(totals.value(row, QStringLiteral("first_date")),
                                                      style.decimalMark, QString()),
                          ParameterColumns::plainText(totals.value(row, QStringLiteral("last_date")),
                                                      style.decimalMark, QString())};
        const ParameterColumns &columns = described.at(row);
        QMap<QString, quint64> flagsShown;
        for (const QString &code : qAsConst(codes)) {
            quint64 bits = 0;
            if (columns.isFlags(code) && ParameterColumns::flagBits(totals.value(row, code), bits))
                flagsShown[code] |= bits;
            QString text = columns.contains(code)
                ? columns.text(code, totals.value(row, code), style.decimalMark, style.unused, style.flagTitles)
                : style.unused;
            if (unitInCells.contains(code) && columns.contains(code) && !columns.column(code).unit.isEmpty())
                text += QLatin1Char(' ') + columns.column(code).unit;
            cells.append(text);
        }
        sheet.addRow(cells);
        // Models title and number their flags each their own way: a legend per node.
        const QStringList before = m_footnotes;
        flagLegend(columns, flagsShown);
        for (int line = before.size(); line < m_footnotes.size(); ++line)
            m_footnotes[line] = names.value(id) + QLatin1String(". ") + m_footnotes.at(line);
    }
    m_heading << tr("Группа: %1").arg(field(group, QStringLiteral("name")))
              << tr("Период: %1 - %2").arg(day(args.from), day(args.to));
    return true;
}

int ReportCommand::write(const ReportArguments &args, const ReportSheet &sheet)
{
    if (!args.csv) {
        QString text = m_heading.join(QLatin1Char('\n')) + QLatin1String("\n\n") + sheet.text();
        if (!m_footnotes.isEmpty())
            text += QLatin1Char('\n') + m_footnotes.join(QLatin1Char('\n')) + QLatin1Char('\n');
        print(stdout, text);
        return ExitOk;
    }
    const QString csv = sheet.csv(args.separator);
    if (args.csvFile == QLatin1String("-")) {
        print(stdout, csv);
        return ExitOk;
    }
    // A file opens in spreadsheets as UTF-8 only with the byte order mark;
    // it is written whole or not at all.
    QSaveFile file(args.csvFile);
    if (!file.open(QIODevice::WriteOnly) || file.write("\xEF\xBB\xBF") < 0 || file.write(csv.toUtf8()) < 0
        || !file.commit())
        return fail(tr("Не удалось записать файл %1: %2")
                        .arg(QDir::toNativeSeparators(QFileInfo(args.csvFile).absoluteFilePath()),
                             fileProblem(args.csvFile, file)),
                    ExitOutput);
    return ExitOk;
}
