// The JSON of the RPC protocol. A request goes through the dispatcher as the
// server's would, to commands that hand their parameters back, so the reply
// writer meets every value the reader makes; the reply must read back. The same bytes are read as a
// reply with tables in stream form, as the client reads them; what is read
// is written again, and that text must read back to the same text.
#include "fuzzing.h"
#include "zeltocommand.h"
#include "zeltojsonreader.h"
#include "zeltojsonwriter.h"
#include "zeltorpcdispatcher.h"

namespace {

struct EchoCommand : ZeltoCommand
{
    EchoCommand(const char *name, int paramCount) : ZeltoCommand(QString::fromLatin1(name), paramCount) {}
    ZeltoResult<QVariant> call(const QVariantList &params) override { return QVariant(params); }
};

EchoCommand g_echo("echo", -1);
EchoCommand g_pair("pair", 2);

// The text of the value the text gives, null when either step refuses.
QByteArray again(const QByteArray &text)
{
    ZeltoJsonReader reader;
    reader.setStreamTables(true);
    QVariant value;
    QByteArray written;
    ZeltoJsonWriter writer;
    writer.setTablesAsStream(true);
    if (!reader.read(text, value) || !writer.write(value, written))
        return QByteArray();
    return written;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = Fuzzing::bytes(data, size);
    ZeltoRpcDispatcher dispatcher;
    QByteArray reply;
    dispatcher.handle(message, reply);
    ZeltoJsonReader replyReader;
    replyReader.setStreamTables(dispatcher.streamTables());
    QVariant answer;
    Fuzzing::expect(replyReader.read(reply, answer), "the reply is JSON a client reads");

    const QByteArray once = again(message);
    if (!once.isNull())
        Fuzzing::expectSame(once, again(once), "written JSON reads back to the same text");
    return 0;
}
