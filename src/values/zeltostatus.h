#pragma once

#include <QString>

// The outcome of an operation that can fail: success, or a failure's kind
// together with its text for people. Operations return it (or a
// ZeltoResult) instead of a bare false, so that the kind travels with the
// text up to the client. The RPC dispatcher maps each kind to its error code
// in one table (docs/protocol.md lists them); a kind, once published, keeps
// its code, and a new kind gets a new code.
class ZeltoStatus
{
public:
    enum Kind {
        Ok,
        Failed,            // none of the kinds below
        NotFound,          // the record does not exist, or the caller may not see it
        NoRight,           // the caller lacks the right the operation needs
        NotLoggedIn,       // the server requires a login first
        InvalidParameter,  // a parameter or a value in it is refused
        Conflict,          // the change contradicts what is stored (duplicates, protected rows, state)
        Storage,           // the database failed to do what was asked
        Busy,              // the same work is already running; try again later
        Unavailable        // a program or device the work needs does not answer
    };

    ZeltoStatus() = default;  // success
    ZeltoStatus(Kind kind, const QString &message) : m_kind(kind), m_message(message) {}

    static ZeltoStatus failed(const QString &message) { return ZeltoStatus(Failed, message); }
    static ZeltoStatus notFound(const QString &message) { return ZeltoStatus(NotFound, message); }
    static ZeltoStatus noRight(const QString &message) { return ZeltoStatus(NoRight, message); }
    static ZeltoStatus invalid(const QString &message) { return ZeltoStatus(InvalidParameter, message); }
    static ZeltoStatus conflict(const QString &message) { return ZeltoStatus(Conflict, message); }
    static ZeltoStatus storage(const QString &message) { return ZeltoStatus(Storage, message); }
    static ZeltoStatus busy(const QString &message) { return ZeltoStatus(Busy, message); }
    static ZeltoStatus notLoggedIn(const QString &message) { return ZeltoStatus(NotLoggedIn, message); }
    static ZeltoStatus unavailable(const QString &message) { return ZeltoStatus(Unavailable, message); }

    bool ok() const { return m_kind == Ok; }
    Kind kind() const { return m_kind; }
    QString message() const { return m_message; }

    // The same kind with another text, as when a caller adds what it was doing.
    ZeltoStatus withMessage(const QString &message) const { return ZeltoStatus(m_kind, message); }

    // The kind's name, for logs and tests ("storage", "noRight", ...).
    static const char *kindName(Kind kind);

private:
    Kind m_kind = Ok;
    QString m_message;
};

// A value, or the status of the failure that left none.
template <typename T>
class ZeltoResult
{
public:
    ZeltoResult(const T &value) : m_value(value) {}
    ZeltoResult(T &&value) : m_value(std::move(value)) {}
    // A failed status; a success given here would carry a default value.
    ZeltoResult(const ZeltoStatus &status) : m_status(status) {}

    bool ok() const { return m_status.ok(); }
    const ZeltoStatus &status() const { return m_status; }
    const T &value() const { return m_value; }
    T &value() { return m_value; }
    T valueOr(const T &fallback) const { return ok() ? m_value : fallback; }

private:
    T m_value{};
    ZeltoStatus m_status;
};
