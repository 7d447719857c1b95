// XML-RPC call bodies through the listener's handler: the call is read, its
// values decoded and the method looked up in a table of slots of every
// parameter type, which hand what they got back; the answer, a response or
// a fault, must be a well-formed document.
#include "fuzzing.h"
#include "maiafault.h"
#include "maiaxmlrpcserver.h"

#include <QDateTime>
#include <QXmlStreamReader>

class Responder : public QObject
{
    Q_OBJECT

public slots:
    QVariant echo(const QString &text) { return text; }
    QVariant pair(const QString &text, int number) { return QVariantList{text, number}; }
    QVariant span(const QDateTime &from, const QVariantList &items) { return QVariantList{from, items}; }
    QVariant record(const QVariantMap &map) { return map; }
    QVariant scalars(bool flag, double number, const QByteArray &bytes) { return QVariantList{flag, number, bytes}; }
    QVariant refuse(const QString &why) { return MaiaFault(1, why).toVariant(); }
};

namespace {

MaiaXmlRpcServer *g_server = nullptr;

bool wellFormed(const QByteArray &document)
{
    QXmlStreamReader xml(document);
    bool rootSeen = false;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && !rootSeen) {
            rootSeen = true;
            if (xml.name() != QLatin1String("methodResponse"))
                return false;
        }
    }
    return rootSeen && !xml.hasError();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Fuzzing::startApplication(argc, argv);
    static Responder responder;
    // Port 0: a free one; only the handler is used.
    g_server = new MaiaXmlRpcServer;
    for (const char *name : {"echo", "pair", "span", "record", "scalars", "refuse"})
        g_server->addMethod(QLatin1String(name), &responder, name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray answer = g_server->handle(Fuzzing::bytes(data, size));
    Fuzzing::expect(wellFormed(answer), "the answer is a well-formed methodResponse");
    return 0;
}

#include "fuzz_xmlrpc.moc"
