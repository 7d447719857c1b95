#include "reportarguments.h"

namespace {

const QString kReport = QStringLiteral("report");
const QString kTotals = QStringLiteral("totals");

} // namespace

bool ReportArguments::isReportCommand(const QString &command)
{
    return command == kReport || command == kTotals;
}

QString ReportArguments::usage()
{
    return tr("Отчеты:\n"
              "  orvex-cli [...] report УЗЕЛ С ПО [--csv ФАЙЛ|-] [--separator ';'|','] [--hours]\n"
              "  orvex-cli [...] totals ГРУППА С ПО [--csv ФАЙЛ|-] [--separator ';'|',']\n"
              "Даты в виде ГГГГ-ММ-ДД. --csv пишет таблицу в CSV (UTF-8) в файл или, для \"-\", в стандартный вывод;\n"
              "с разделителем ';' (по умолчанию) дробная часть отделяется запятой, с ',' - точкой.\n");
}

bool ReportArguments::fail(const QString &text)
{
    m_error = text;
    return false;
}

bool ReportArguments::parse(const QString &name, const QStringList &words)
{
    command = name;
    QStringList positional;
    for (int i = 0; i < words.size(); ++i) {
        const QString word = words.at(i);
        if (word == QLatin1String("--csv")) {
            if (++i >= words.size())
                return fail(tr("Не задан файл для --csv (\"-\" - стандартный вывод)"));
            csv = true;
            csvFile = words.at(i);
        } else if (word == QLatin1String("--separator")) {
            if (++i >= words.size() || (words.at(i) != QLatin1String(";") && words.at(i) != QLatin1String(",")))
                return fail(tr("Разделитель CSV: ';' или ','"));
            separator = words.at(i).at(0);
        } else if (word == QLatin1String("--hours") && command == kReport) {
            hours = true;
        } else if (word.startsWith(QLatin1String("--"))) {
            return fail(tr("Неизвестный параметр: %1").arg(word));
        } else {
            positional.append(word);
        }
    }
    const QString what = command == kReport ? tr("узла") : tr("группы");
    if (positional.size() != 3)
        return fail(tr("Команде %1 нужны номер %2 и даты начала и конца периода").arg(command, what));
    bool ok = false;
    id = positional.at(0).toInt(&ok);
    if (!ok || id < 0)
        return fail(tr("Неверный номер %1: %2").arg(what, positional.at(0)));
    from = QDate::fromString(positional.at(1), Qt::ISODate);
    to = QDate::fromString(positional.at(2), Qt::ISODate);
    for (int i = 1; i <= 2; ++i) {
        if (!QDate::fromString(positional.at(i), Qt::ISODate).isValid())
            return fail(tr("Неверная дата: %1 (ожидается ГГГГ-ММ-ДД)").arg(positional.at(i)));
    }
    if (from > to)
        return fail(tr("Начало периода %1 позже его конца %2").arg(positional.at(1), positional.at(2)));
    return true;
}
