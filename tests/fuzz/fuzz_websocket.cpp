// The frames a WebSocket client sends, as the RPC listeners read them. The
// events the bytes give are the same whether they come at once or in small
// pieces (as a slow network hands them over), and what the reader holds
// stays within the message limit.
#include "fuzzing.h"
#include "webframeevents.h"

namespace {

// Small, so that fuzzed inputs reach the limit.
const qint64 kMaxMessage = 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzzing::bytes(data, size);
    const qint64 piece = size ? 1 + data[size - 1] % 7 : 1;
    const QStringList whole = frameEvents(bytes, kMaxMessage, bytes.size() + 1);
    Fuzzing::expect(!whole.contains(QStringLiteral("broken")) && !whole.contains(QStringLiteral("read on")),
                    "the reader takes only what it is given, holds no more than a message, nothing after an error");
    Fuzzing::expect(frameEvents(bytes, kMaxMessage, piece) == whole, "the same frames give the same events in pieces");
    return 0;
}
