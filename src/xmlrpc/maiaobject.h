#pragma once

#include "maiafault.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>

class QXmlStreamReader;

// XML-RPC messages and their values.
//
//   call     = <methodCall> <methodName>name</methodName>
//              <params> (<param> value </param>)* </params> </methodCall>
//   response = <methodResponse> <params><param> value </param></params> </methodResponse>
//   fault    = <methodResponse> <fault> value </fault> </methodResponse>
//              the value a struct of "faultCode" (int) and "faultString" (string)
//   value    = <value> typed </value> | <value>text</value> (a string)
//   typed    = <boolean>1|0</boolean> | <int>n</int> | <i4>n</i4>
//            | <double>x</double> | <string>text</string> | <base64>b64</base64>
//            | <dateTime.iso8601>yyyyMMddThh:mm:ss</dateTime.iso8601> | <nil/>
//            | <array><data> value* </data></array>
//            | <struct> (<member><name>key</name> value</member>)* </struct>
//
// Text is written in UTF-8 with "<", ">", "&", '"' and carriage return as
// references, and with U+FFFD for characters XML cannot hold.
// Type names are read without regard to case, so "datetime.iso8601" and
// "dateTime.iso8601" are the same. Date-times are written as
// "dateTime.iso8601", the name stock clients require, unless
// setLowerCaseDateTime(true) asks for the all-lower-case form of older
// clients. Null values, whatever their type, and values of other types
// than bool, int, double, string, byte array, date-time, list and map are
// written as an empty value element.
// Compatibility: this is the XML-RPC standard; nothing of it is ours to change.
class MaiaObject
{
public:
    static void setLowerCaseDateTime(bool lowerCase);

    // Documents with an XML declaration, indented by one blank per level.
    static QByteArray response(const QVariant &result);
    static QByteArray fault(const MaiaFault &fault);
    static QByteArray fault(int code, const QString &message) { return fault(MaiaFault(code, message)); }

    // Reads a call. On false, fault says why: not well-formed XML (a
    // document type declaration included, so no entity is ever expanded),
    // or a call not conforming: no methodName, elements nested too deep, an
    // element inside a name or a scalar. A parameter that cannot be read (an
    // unknown type, a number that is not one) is an invalid variant.
    static bool readCall(const QByteArray &body, QString &method, QVariantList &params, MaiaFault &fault);

private:
    static QByteArray document(const QVariant &content, bool isFault);
};
