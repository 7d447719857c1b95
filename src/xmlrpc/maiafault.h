#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// An XML-RPC fault: a method returns one inside its variant result, and the
// transport answers with a fault document instead of a response. Registered
// as the meta-type "MaiaFault".
class MaiaFault
{
public:
    // The codes of the fault code interoperability convention the transport uses.
    enum Code {
        ParseError = -32700,
        InvalidRequest = -32600,
        MethodNotFound = -32601,
        InvalidParams = -32602,
    };

    MaiaFault() = default;
    MaiaFault(int code, const QString &message) : m_code(code), m_message(message) {}

    int code() const { return m_code; }
    QString message() const { return m_message; }
    // "faultCode" (int) and "faultString" (string).
    QVariantMap toMap() const;

    QVariant toVariant() const { return QVariant::fromValue(*this); }
    static bool isFault(const QVariant &value);

private:
    int m_code = 0;
    QString m_message;
};

Q_DECLARE_METATYPE(MaiaFault)
