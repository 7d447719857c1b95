#include "zeltorpcmessage.h"

#include "zeltojsonwriter.h"

namespace ZeltoRpcMessage {

namespace {

bool writeId(ZeltoJsonWriter &writer, const QVariant &id, QByteArray &out)
{
    out += "{\"jsonrpc\":\"2.0\",\"id\":";
    return writer.write(id, out);
}

} // namespace

bool request(qint64 id, const QString &method, const QVariantList &params, QByteArray &out, QString *error)
{
    ZeltoJsonWriter writer;
    out.clear();
    writeId(writer, id, out);
    out += ",\"method\":";
    writer.write(method, out);
    out += ",\"params\":";
    if (!writer.write(params, out)) {
        if (error)
            *error = writer.errorString();
        out.clear();
        return false;
    }
    out += '}';
    return true;
}

bool result(const QVariant &id, const QVariant &value, QByteArray &out, QString *error)
{
    ZeltoJsonWriter writer;
    out.clear();
    writeId(writer, id, out);
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

QByteArray error(const QVariant &id, int code, const QString &message)
{
    ZeltoJsonWriter writer;
    QByteArray out;
    writeId(writer, id, out);
    out += ",\"error\":{\"code\":" + QByteArray::number(code) + ",\"message\":";
    writer.write(message, out);
    out += "}}";
    return out;
}

}
