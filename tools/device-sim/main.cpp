// orvex-device-sim: a device polling server without meters. It answers the
// polling conversation of the data server with simulated meters whose
// readings follow their device numbers, so that polling can be run and
// tested anywhere. See usage() below and the README.

#include "devicesimulator.h"
#include "metadatacatalogue.h"
#include "qtservice.h"
#include "simdevice.h"
#include "zelto.h"
#include "zeltoaddresscap.h"
#include "zeltocommand.h"
#include "zeltoserver.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QSettings>

#include <cstdio>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("DeviceSim", text);
}

QString usage()
{
    return tr("Использование: orvex-device-sim [параметры]\n"
              "Имитатор сервера опроса приборов: отвечает серверу данных на команды опроса\n"
              "(createTask, setCommand, startTask, cancelTask, getState, takeLog, getResult,\n"
              "removeTask) и возвращает правдоподобные архивы приборов, одинаковые при каждом\n"
              "опросе одного заводского номера. Работает до SIGTERM или SIGINT.\n"
              "\n"
              "  -p, --port ПОРТ     порт TCP (по умолчанию Server/port из varnel.ini в домашней\n"
              "                      папке ORVEX_HOME, иначе 5411; 0 - любой свободный)\n"
              "  -a, --address АДРЕС слушать только этот адрес (по умолчанию все)\n"
              "  --speed ЧИСЛО       опрос идёт в ЧИСЛО раз быстрее (по умолчанию 1: 2 с плюс\n"
              "                      1 с на каждый запрошенный архив)\n"
              "  --instant           опрос завершается сразу (тесты и замеры)\n"
              "  --depth ДНИ         глубина чтения, если сервер не задал firstDate (62)\n"
              "  --overlap ДНИ       всегда перечитывать не меньше ДНИ последних дней (0)\n"
              "  -h, --help          эта справка\n"
              "\n"
              "Когда порт открыт, первой строкой выводится: listening tcp=ПОРТ\n"
              "\n"
              "Прибор и его отказы задаются в настройках канала задачи опроса:\n"
              "  deviceId          заводской номер (целое): по нему строятся значения\n"
              "  model             модель из моделей драйвера (по умолчанию первая)\n"
              "  fault             режимы отказа через запятую:\n"
              "    noAnswer        прибор не отвечает: через readTimeout мс (3000) ошибка\n"
              "    refused         соединение с прибором отклонено сразу\n"
              "    error           опрос завершается ошибкой с текстом faultText\n"
              "    empty           опрос успешен, но данных нет\n"
              "    clockOff        часы прибора уходят на clockOffset минут (45)\n"
              "    gaps            примерно каждая двадцатая запись архива пропущена\n"
              "    silent          сервер не отвечает на запросы состояния задания\n"
              "    badReply        сервер отвечает на них значением неверного типа\n"
              "    hang            задание не завершается никогда, отмена не действует\n"
              "    badCell         в первой строке архива результата ячейка со списком\n"
              "  failCount         отказы действуют только в первых N опросах прибора\n"
              "  failEvery         отказы действуют в опросах 1, N+1, 2N+1, ... (прибор,\n"
              "                    отказывающий время от времени; важнее failCount)\n"
              "  runSeconds        опрос длится ровно столько секунд при любой скорости\n"
              "  archiveDepth      глубина чтения в днях для этого прибора\n"
              "\n"
              "Для тестов: getStats() - наибольшее число одновременных опросов по каждому\n"
              "каналу, число заданий и запросов отмены; resetStats() обнуляет счётчики.\n");
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

struct Arguments
{
    DeviceSimulator::Options options;
    int port = -1;
    QString address;
    bool help = false;
    QString error;
};

bool number(const QString &text, double low, double &value)
{
    bool ok = false;
    value = text.toDouble(&ok);
    return ok && value >= low && value < 1e9;
}

Arguments parse(int argc, char **argv)
{
    Arguments args;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const QString next = i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        double value = 0;
        auto takeNumber = [&](double low) {
            ++i;
            if (!number(next, low, value))
                args.error = tr("Неверное значение параметра %1: %2").arg(arg, next);
            return value;
        };
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help") || arg == QLatin1String("-help"))
            args.help = true;
        else if (arg == QLatin1String("--instant"))
            args.options.instant = true;
        else if (arg == QLatin1String("-p") || arg == QLatin1String("--port"))
            args.port = int(takeNumber(0));
        else if (arg == QLatin1String("-a") || arg == QLatin1String("--address"))
            args.address = (++i < argc) ? next : QString();
        else if (arg == QLatin1String("--speed"))
            args.options.speed = takeNumber(1e-3);
        else if (arg == QLatin1String("--depth"))
            args.options.depthDays = int(takeNumber(0));
        else if (arg == QLatin1String("--overlap"))
            args.options.overlapDays = int(takeNumber(0));
        else
            args.error = tr("Неизвестный параметр: %1").arg(arg);
        if (!args.error.isEmpty())
            break;
    }
    if (args.error.isEmpty() && args.port > 65535)
        args.error = tr("Неверный порт: %1").arg(args.port);
    return args;
}

// The eight requests of the polling conversation and the test counters.
class SimCommand : public ZeltoCommand
{
public:
    using Method = ZeltoResult<QVariant> (DeviceSimulator::*)(const QVariantList &);
    SimCommand(const char *name, int count, Method method) : ZeltoCommand(QLatin1String(name), count), m_method(method) {}
    ZeltoResult<QVariant> call(const QVariantList &params) override
    {
        return (DeviceSimulator::instance().*m_method)(params);
    }

private:
    Method m_method;
};

SimCommand commands[] = {
    {"createTask", 2, &DeviceSimulator::createTask}, {"setCommand", 3, &DeviceSimulator::setCommand},
    {"startTask", 1, &DeviceSimulator::startTask},   {"cancelTask", 1, &DeviceSimulator::cancelTask},
    {"getState", 1, &DeviceSimulator::getState},     {"takeLog", 1, &DeviceSimulator::takeLog},
    {"getResult", 1, &DeviceSimulator::getResult},   {"removeTask", 1, &DeviceSimulator::removeTask},
    {"getStats", 0, &DeviceSimulator::getStats},     {"resetStats", 0, &DeviceSimulator::resetStats},
};

class SimulatorService : public QtService<QCoreApplication>
{
public:
    SimulatorService(int argc, char **argv, const Arguments &args)
        : QtService<QCoreApplication>(argc, argv, QStringLiteral("Orvex Device Simulator")), m_args(args)
    {
        setServiceDescription(tr("Имитатор сервера опроса приборов"));
    }

protected:
    void start() override
    {
        DeviceSimulator::instance().setOptions(m_args.options);
        // Drivers and models come from the metadata files beside the program.
        const QString loadError = MetadataCatalogue::instance().loadError();
        if (!loadError.isEmpty())
            ZeltoSystem::instance()->log(ZeltoSystem::LogError, loadError);
        int port = m_args.port;
        if (port < 0) {
            const QSettings ini(Zelto::moduleDir() + QStringLiteral("/varnel.ini"), QSettings::IniFormat);
            port = ini.value(QStringLiteral("Server/port"), 5411).toInt();
        }
        QHostAddress address(QHostAddress::Any);
        if (!m_args.address.isEmpty() && !address.setAddress(m_args.address)) {
            print(stderr, tr("Неверный адрес: %1\n").arg(m_args.address));
            QCoreApplication::exit(1);
            return;
        }
        // Its client is one data server, which opens a connection per running poll from one address.
        ZeltoAddressCap::global()->setCap(0);
        ZeltoServer *server = ZeltoServer::global();
        if (!server->listenTcp(quint16(port), address)) {
            QCoreApplication::exit(1);
            return;
        }
        print(stdout, QStringLiteral("listening tcp=%1\n").arg(server->tcpPort()));
    }

    void stop() override { ZeltoServer::global()->close(); }

private:
    Arguments m_args;
};

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    const Arguments args = parse(argc, argv);
    if (args.help) {
        print(stdout, usage());
        return 0;
    }
    if (!args.error.isEmpty()) {
        print(stderr, args.error + QLatin1Char('\n') + usage());
        return 3;
    }
    // The service host reads only its own options: ours are already taken.
    char *programOnly[] = {argv[0], nullptr};
    SimulatorService service(1, programOnly, args);
    return service.exec();
}
