#include "cliarguments.h"

#include "reportarguments.h"
#include "zeltojsonreader.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("orvex-cli", text);
}

} // namespace

bool CliArguments::fail(const QString &text)
{
    m_error = text;
    return false;
}

QString CliArguments::usage()
{
    return tr("Использование: orvex-cli [-H узел[:порт][,...]] [-p порт] [-u логин -w пароль] [--table [--all]] [--timeout мс]\n"
              "                 КОМАНДА [ПАРАМЕТР ...]\n"
              "       orvex-cli --version\n"
              "Каждый ПАРАМЕТР - значение JSON в формате протокола (слово, не являющееся JSON, - строка).\n"
              "--table печатает таблицу; широкие таблицы (getNodes, getTasks) - основными полями, --all - всеми.\n"
              "Код завершения: 0 - успех, 1 - сервер вернул ошибку или запрошенного нет, 2 - сервер недоступен,\n"
              "3 - неверная командная строка.\n"
              "Несколько серверов (-H a,b:5413 или -H a -H b): команда идёт первому, который отвечает.\n")
        + ReportArguments::usage();
}

bool CliArguments::addServers(const QString &list)
{
    for (const QString &item : list.split(QLatin1Char(','))) {
        const QString entry = item.trimmed();
        QString host = entry;
        QString portText;
        if (entry.startsWith(QLatin1Char('['))) {
            const int close = entry.indexOf(QLatin1Char(']'));
            if (close < 0 || (close + 1 < entry.size() && entry.at(close + 1) != QLatin1Char(':')))
                return fail(tr("Неверный адрес сервера: %1").arg(entry));
            host = entry.mid(1, close - 1);
            portText = entry.mid(close + 2);
        } else if (entry.count(QLatin1Char(':')) == 1) {
            // Two or more colons: an IPv6 address without a port.
            host = entry.section(QLatin1Char(':'), 0, 0);
            portText = entry.section(QLatin1Char(':'), 1);
        }
        if (host.isEmpty())
            return fail(tr("Неверный адрес сервера: %1").arg(entry));
        int port = 0;
        if (!portText.isEmpty() || entry.endsWith(QLatin1Char(':'))) {
            bool ok = false;
            port = int(portText.toUInt(&ok));
            if (!ok || port == 0 || port > 65535)
                return fail(tr("Неверный номер порта: %1").arg(portText));
        }
        m_servers.append({host, port});
    }
    return true;
}

QList<QPair<QString, quint16>> CliArguments::servers() const
{
    QList<QPair<QString, quint16>> result;
    for (const auto &server : m_servers)
        result.append({server.first, server.second ? quint16(server.second) : port});
    if (result.isEmpty())
        result.append({QStringLiteral("localhost"), port});
    return result;
}

bool CliArguments::parse(const QStringList &arguments)
{
    int i = 1;
    auto optionValue = [&](const QString &option, QString &value) {
        if (i + 1 >= arguments.size())
            return fail(tr("Не задано значение параметра %1").arg(option));
        value = arguments.at(++i);
        return true;
    };
    for (; i < arguments.size(); ++i) {
        const QString arg = arguments.at(i);
        QString value;
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            help = true;
            return true;
        } else if (arg == QLatin1String("--version")) {
            version = true;
            return true;
        } else if (arg == QLatin1String("-H") || arg == QLatin1String("--host")) {
            if (!optionValue(arg, value) || !addServers(value))
                return false;
        } else if (arg == QLatin1String("-p") || arg == QLatin1String("--port")) {
            if (!optionValue(arg, value))
                return false;
            bool ok = false;
            const uint number = value.toUInt(&ok);
            if (!ok || number == 0 || number > 65535)
                return fail(tr("Неверный номер порта: %1").arg(value));
            port = quint16(number);
        } else if (arg == QLatin1String("-u") || arg == QLatin1String("--user")) {
            if (!optionValue(arg, login))
                return false;
            hasLogin = true;
        } else if (arg == QLatin1String("-w") || arg == QLatin1String("--password")) {
            if (!optionValue(arg, password))
                return false;
        } else if (arg == QLatin1String("--table")) {
            table = true;
        } else if (arg == QLatin1String("--all")) {
            all = true;
        } else if (arg == QLatin1String("--timeout")) {
            if (!optionValue(arg, value))
                return false;
            bool ok = false;
            timeoutMs = value.toInt(&ok);
            if (!ok || timeoutMs <= 0)
                return fail(tr("Неверное время ожидания: %1").arg(value));
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1 && !arg.at(1).isDigit()) {
            return fail(tr("Неизвестный параметр: %1").arg(arg));
        } else {
            break;
        }
    }
    if (i >= arguments.size())
        return fail(tr("Не задана команда"));
    command = arguments.at(i++);
    words = arguments.mid(i);
    // The report commands read their own arguments (days, file names).
    if (ReportArguments::isReportCommand(command))
        return true;
    for (int n = 1; i < arguments.size(); ++i, ++n) {
        // The output switches may follow the command too: "getNodes --table".
        if (arguments.at(i) == QLatin1String("--table") || arguments.at(i) == QLatin1String("--all")) {
            (arguments.at(i) == QLatin1String("--table") ? table : all) = true;
            --n;
            continue;
        }
        const QByteArray text = arguments.at(i).toUtf8();
        ZeltoJsonReader reader;
        QVariant value;
        if (reader.read(text, value)) {
            params.append(value);
        } else if (reader.status() == ZeltoJsonReader::SyntaxError) {
            params.append(arguments.at(i));  // a bare word
        } else {
            return fail(tr("Неверный параметр %1: %2").arg(n).arg(reader.errorString()));
        }
    }
    return true;
}
