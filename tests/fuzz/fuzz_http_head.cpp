// The head of an HTTP request, as every listener reads it. Whatever the
// bytes, the answer is consistent: a complete head lies within the bytes
// and has a path, a refusal has an error status, and the same bytes
// arriving in two pieces (the second parse starting its search where the
// first left off) get the same answer as when they come at once.
#include "fuzzing.h"
#include "zeltohttphead.h"

namespace {

const qint64 kMaxBody = 1024 * 1024;

bool sameAnswer(const ZeltoHttpHead &a, const ZeltoHttpHead &b)
{
    return a.state == b.state && a.status == b.status && a.size == b.size && a.contentLength == b.contentLength
        && a.http10 == b.http10 && a.request.method == b.request.method && a.request.path == b.request.path
        && a.request.query == b.request.query && a.request.headers == b.request.headers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzzing::bytes(data, size);
    const ZeltoHttpHead whole = ZeltoHttpHead::parse(bytes, kMaxBody);
    if (whole.state == ZeltoHttpHead::Complete) {
        Fuzzing::expect(whole.size > 0 && whole.size <= bytes.size(), "a complete head lies within the bytes");
        Fuzzing::expect(whole.request.path.startsWith('/'), "a complete head has a path");
        Fuzzing::expect(whole.contentLength >= 0 && whole.contentLength <= kMaxBody, "the body length is bounded");
    } else if (whole.state == ZeltoHttpHead::Refused) {
        Fuzzing::expect(whole.status >= 400 && whole.status < 600, "a refusal has an error status");
    }

    // Where the bytes are cut in two comes from the bytes themselves.
    const int cut = size ? int(data[0] % (size + 1)) : 0;
    const ZeltoHttpHead first = ZeltoHttpHead::parse(bytes.left(cut), kMaxBody);
    if (first.state == ZeltoHttpHead::Incomplete) {
        const ZeltoHttpHead second =
            ZeltoHttpHead::parse(bytes, kMaxBody, ZeltoHttpHead::DefaultMaxHeadSize, qMax(0, cut - 3));
        Fuzzing::expect(sameAnswer(second, whole), "a head read in two pieces reads as one read at once");
    } else {
        Fuzzing::expect(first.state == whole.state && first.status == whole.status && first.size == whole.size,
                        "what a part of the bytes decides, all of them decide alike");
    }
    return 0;
}
