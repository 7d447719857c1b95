#pragma once

#include <QHash>
#include <QVariant>

#include <functional>

// What one listener holds in memory for requests it has not answered yet
// (lines, frames and HTTP requests still arriving, and those waiting for
// their turn), summed over its connections, and the limit on that sum. A
// connection tells the account what it holds whenever that grows; when the
// sum would pass the limit, the connections that hold most are closed until
// it fits. A few clients that each withhold the last byte of a large
// request thus cost at most the limit, whatever the per-request limits are.
// Main thread only.
class ZeltoRequestBuffers
{
public:
    static constexpr qint64 DefaultLimit = 256LL * 1024 * 1024;

    // The limit a setting names ("requestBufferLimit", in MiB): a positive
    // whole number; anything else means the default.
    static qint64 limitFromSetting(const QVariant &mebibytes);

    explicit ZeltoRequestBuffers(qint64 limit = DefaultLimit) : m_limit(limit) {}
    ZeltoRequestBuffers(const ZeltoRequestBuffers &) = delete;
    ZeltoRequestBuffers &operator=(const ZeltoRequestBuffers &) = delete;

    // Applies to what connections hold from now on (nobody is closed at once).
    void setLimit(qint64 bytes) { m_limit = bytes; }
    qint64 limit() const { return m_limit; }
    qint64 total() const { return m_total; }

    // A connection joins holding nothing; `close` closes it when it holds
    // most while the listener is over its limit (from inside another
    // connection's hold(): it must not delete the connection at once).
    int enter(std::function<void()> close);
    // The connection `id` now holds `bytes`. When that is more than before
    // and takes the listener over its limit, the connections holding most
    // are closed until it fits; false when this one holds most: it must
    // then close itself (its `close` is not called; it has left).
    bool hold(int id, qint64 bytes);
    void leave(int id);

private:
    struct Holder
    {
        qint64 bytes = 0;
        std::function<void()> close;
    };

    void released(qint64 bytes);

    QHash<int, Holder> m_holders;
    qint64 m_total = 0;
    qint64 m_limit;
    int m_nextId = 1;
};
