// The JSON of the RPC protocol. A request goes through the dispatcher as the
// server's would, to commands that hand their parameters back, so the reply
// writer meets every value the reader makes; the reply must read back. The same bytes are read as a
// reply with tables in stream form, as the client reads them; what is read
// is written again, and that text must read back to the same text.
#include "fuzzing.h"
#include "testcommand.h"
#include "zeltojsonreader.h"
#include "zeltojsonwriter.h"
#include "zeltorpcdispatcher.h"

namespace {

QVariant echo(const QVariantList &params) { return params; }
TestCommand g_echo("echo", echo);
TestCommand g_pair("pair", echo, 2);

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
