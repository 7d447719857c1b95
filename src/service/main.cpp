#include "backuptool.h"
#include "copytool.h"
#include "service.h"
#include "zelto.h"
#include "zeltosystem.h"

#include <cstring>
#include <malloc.h>

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    if (argc > 1 && BackupTool::isOption(QString::fromLocal8Bit(argv[1]))) {
        // Backup checks and restores run at the console and end there.
        QCoreApplication application(argc, argv);
        ZeltoSystem::instance()->setSettingsPath(Service::settingsFilePath());
        return BackupTool::run(QCoreApplication::arguments());
    }
    if (argc > 1 && CopyTool::isOption(QString::fromLocal8Bit(argv[1]))) {
        // A copy of the database runs at the console, without the listeners.
        QCoreApplication application(argc, argv);
        return CopyTool::run(QCoreApplication::arguments(), Service::settingsFilePath());
    }
    // Archives are decoded and encoded into buffers of many megabytes on every
    // save; keep them in the heap instead of mapping fresh pages each time.
    // The pad keeps the heap's top grown as well (by more than reading a
    // long archive and writing its reply takes): otherwise every such read
    // faults its tens of megabytes in anew.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    mallopt(M_TOP_PAD, 128 << 20);
    for (int i = 0; i < argc; ++i) {
        // Registering the OPC server belongs to the OPC publisher, which
        // this build does not have yet; the rest of the command line is the
        // service framework's.
        if (std::strcmp(argv[i], "-install") == 0 || std::strcmp(argv[i], "-uninstall") == 0)
            ZeltoSystem::instance()->log(ZeltoSystem::LogWarning,
                                         QStringLiteral("Регистрация OPC-сервера недоступна: OPC-сервер не входит в эту сборку"));
    }
    Service service(argc, argv);
    service.setOptionsHelp(BackupTool::help() + CopyTool::help());
    return service.exec();
}
