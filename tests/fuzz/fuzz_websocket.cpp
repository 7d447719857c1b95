// The frames a WebSocket client sends, as the RPC listeners read them. The
// events the bytes give are the same whether they come at once or in small
// pieces (as a slow network hands them over), and what the reader holds
// stays within the message limit.
#include "fuzzing.h"
#include "zeltowebframereader.h"

#include <QList>

namespace {

// Small, so that fuzzed inputs reach the limit.
const qint64 kMaxMessage = 4096;

struct Step
{
    ZeltoWebFrameReader::Event event;
    QByteArray data;
    quint16 code;
    bool operator==(const Step &other) const
    {
        return event == other.event && data == other.data && code == other.code;
    }
};

// Feeds the bytes in pieces of at most `piece` bytes, as a connection does:
// what the reader did not take is given again with the next piece. The
// events, in order.
QList<Step> events(const QByteArray &bytes, qint64 piece)
{
    ZeltoWebFrameReader reader(kMaxMessage);
    QList<Step> steps;
    qint64 at = 0;
    for (qint64 end = qMin<qint64>(bytes.size(), piece); at < bytes.size();
         end = qMin<qint64>(bytes.size(), end + piece)) {
        for (;;) {
            qint64 consumed = 0;
            const ZeltoWebFrameReader::Event event = reader.read(bytes.constData() + at, end - at, consumed);
            Fuzzing::expect(consumed >= 0 && consumed <= end - at, "the reader takes only what it is given");
            Fuzzing::expect(reader.heldSize() <= kMaxMessage + 125, "what the reader holds is bounded");
            at += consumed;
            if (event == ZeltoWebFrameReader::NeedMore)
                break;
            const QByteArray data = event == ZeltoWebFrameReader::Message ? reader.takeMessage() : reader.payload();
            steps.append({event, data, reader.closeCode()});
            if (event == ZeltoWebFrameReader::ProtocolError || event == ZeltoWebFrameReader::TooBig)
                return steps;
        }
        if (end == bytes.size())
            break;
    }
    return steps;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzzing::bytes(data, size);
    const qint64 piece = size ? 1 + data[size - 1] % 7 : 1;
    Fuzzing::expect(events(bytes, bytes.size() + 1) == events(bytes, piece),
                    "the same frames give the same events in pieces");
    return 0;
}
