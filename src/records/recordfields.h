#pragma once

#include "commandcontext.h"

#include <QStringList>

#include <functional>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

// The fields of a record map sent by a client. Values are copied as they
// are, but every column they go to holds one plain value, so lists, maps
// and tables are refused; where the server itself relies on a field's kind,
// that is checked too: ids end up in statement text or in membership rows,
// so they must be whole numbers, and lists must be lists. A refusal is an
// invalid parameter naming the field.
class RecordFields
{
public:
    // Copies every key of keys that input has into record, values unchanged;
    // refuses (and copies nothing more) at the first value that is not plain.
    static ZeltoStatus copy(const QVariantMap &input, QVariantMap &record, const QStringList &keys);

    // A whole number of any numeric kind or text (a double only up to 2^53,
    // where it still tells one whole number from the next).
    static bool toWholeNumber(const QVariant &value, qlonglong &out);
    // A whole number that fits an int, given as any numeric kind or as text.
    static bool toInt(const QVariant &value, int &out);
    // The keys of record that name integer columns: each value that is not
    // null must be a whole number or its text (kept as given); refused
    // otherwise, since SQLite would store other text and PostgreSQL refuse it
    // in its own words.
    static ZeltoStatus checkWholeNumbers(const QVariantMap &record, const QStringList &keys);

    // The field as an int id; refused when it is not one.
    static ZeltoStatus readId(const QVariantMap &input, const QString &key, int &out);
    // Copies input's "id", when it has one, into record; refuses ids that are
    // not whole numbers and, as not found, records the caller cannot see
    // (isVisible's failure is that failure).
    static ZeltoStatus copyVisibleId(const QVariantMap &input, QVariantMap &record,
                                     const std::function<ZeltoResult<bool>(int)> &isVisible);
    // The value as a list of int ids; refused (naming field) when it is not a
    // list or holds anything but whole numbers.
    static ZeltoStatus readIdList(const QVariant &value, const QString &field, QVariantList &out);
    // The value as a list of strings; refuses anything that is not a list.
    static ZeltoStatus readStringList(const QVariant &value, const QString &field, QStringList &out);
    // Text or a number, as text; refuses null, lists and maps.
    static ZeltoStatus readText(const QVariant &value, const QString &field, QString &out);

    // Null, a number, text, a date or a time: what one column can hold.
    static bool isPlain(const QVariant &value);

    // "Неверное значение поля <field>: ожидается <expected>", invalid.
    static ZeltoStatus refuse(const QString &field, const QString &expected);
};
