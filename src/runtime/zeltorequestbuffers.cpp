#include "zeltorequestbuffers.h"

#include "zeltorefusals.h"
#include "zeltosystem.h"

#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// A request this big came from the system's memory in large blocks; once it
// is gone, the heap is trimmed so that the process does not keep the peak.
const qint64 kTrimThreshold = 1024 * 1024;
const int kTrimDelayMs = 200;
bool g_trimScheduled = false;

void trimSoon()
{
#ifdef __GLIBC__
    // The buffers are freed when their connections are deleted, a moment later.
    if (g_trimScheduled)
        return;
    g_trimScheduled = true;
    QTimer::singleShot(kTrimDelayMs, [] {
        g_trimScheduled = false;
        malloc_trim(0);
    });
#endif
}

} // namespace

qint64 ZeltoRequestBuffers::limitFromSetting(const QVariant &mebibytes)
{
    bool ok = false;
    const qint64 value = mebibytes.toString().toLongLong(&ok);
    // Up to a tebibyte: beyond it the product would mean nothing.
    return ok && value > 0 && value <= (1LL << 20) ? value * 1024 * 1024 : DefaultLimit;
}

int ZeltoRequestBuffers::enter(std::function<void()> close)
{
    const int id = m_nextId++;
    m_holders.insert(id, Holder{0, std::move(close)});
    return id;
}

bool ZeltoRequestBuffers::hold(int id, qint64 bytes)
{
    const auto it = m_holders.find(id);
    if (it == m_holders.end())
        return false;
    const qint64 before = it->bytes;
    m_total += bytes - before;
    it->bytes = bytes;
    if (bytes <= before) {
        // Only growth is judged: a limit lowered under what is held closes nobody at once.
        released(before - bytes);
        return true;
    }
    while (m_total > m_limit) {
        auto largest = m_holders.begin();
        for (auto h = m_holders.begin(); h != m_holders.end(); ++h)
            if (h->bytes > largest->bytes || (h->bytes == largest->bytes && h.key() == id))
                largest = h;
        ZeltoRefusals::count(ZeltoRefusals::BufferLimit);
        ZeltoSystem::instance()->log(ZeltoSystem::LogDebug,
                                     QStringLiteral("Соединение закрыто: запросы, полученные не целиком, "
                                                    "заняли больше %1 КБ")
                                         .arg(m_limit / 1024));
        if (largest.key() == id) {
            leave(id);
            return false;
        }
        const std::function<void()> close = largest->close;
        leave(largest.key());
        close();
    }
    return true;
}

void ZeltoRequestBuffers::leave(int id)
{
    const auto it = m_holders.find(id);
    if (it == m_holders.end())
        return;
    m_total -= it->bytes;
    released(it->bytes);
    m_holders.erase(it);
}

void ZeltoRequestBuffers::released(qint64 bytes)
{
    if (bytes >= kTrimThreshold)
        trimSoon();
}
