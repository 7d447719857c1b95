#include "zeltorpcmessage.h"

#include "zeltojsonwriter.h"

namespace ZeltoRpcMessage {

namespace {

void writeId(const QByteArray &idText, QByteArray &out)
{
    out += "{\"jsonrpc\":\"2.0\",\"id\":";
    out += idText.isEmpty() ? QByteArrayLiteral("null") : idText;
}

} // namespace

bool request(qint64 id, const QString &method, const QVariantList &params, QByteArray &out, QString *error,
             bool streamTables)
{
    ZeltoJsonWriter writer;
    out.clear();
    writeId(QByteArray::number(id), out);
    out += ",\"method\":";
    writer.write(method, out);
    out += ",\"params\":";
    if (!writer.write(params, out)) {
        if (error)
            *error = writer.errorString();
        out.clear();
        return false;
    }
    if (streamTables)
        out += ",\"tables\":\"stream\"";
    out += '}';
    return true;
}

bool result(const QByteArray &idText, const QVariant &value, QByteArray &out, QString *error, bool streamTables)
{
    ZeltoJsonWriter writer;
    writer.setTablesAsStream(streamTables);
    out.clear();
    writeId(idText, out);
    out += ",\"result\":";
    if (!writer.write(value, out)) {
        if (error)
            *error = writer.errorString();
        out.clear();
        return false;
    }
    out += '}';
    return true;
}

QByteArray error(const QByteArray &idText, int code, const QString &message)
{
    ZeltoJsonWriter writer;
    QByteArray out;
    writeId(idText, out);
    out += ",\"error\":{\"code\":" + QByteArray::number(code) + ",\"message\":";
    writer.write(message, out);
    out += "}}";
    return out;
}

}
