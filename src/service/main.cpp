#include "service.h"
#include "zelto.h"
#include "zeltosystem.h"

#include <cstring>

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    for (int i = 0; i < argc; ++i) {
        // Registering the OPC server belongs to the OPC publisher, which
        // this build does not have yet; the rest of the command line is the
        // service framework's.
        if (std::strcmp(argv[i], "-install") == 0 || std::strcmp(argv[i], "-uninstall") == 0)
            ZeltoSystem::instance()->log(ZeltoSystem::LogWarning,
                                         QStringLiteral("Регистрация OPC-сервера недоступна: OPC-сервер не входит в эту сборку"));
    }
    Service service(argc, argv);
    return service.exec();
}
