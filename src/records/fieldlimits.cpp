#include "fieldlimits.h"

#include "zeltostream.h"

#include <algorithm>

namespace {

enum Unit { Characters, StoredBytes };

struct Limit
{
    FieldLimits::Record record;
    const char *field;   // '#' stands for a number: "param#" is param1, param2, ...
    int most;
    Unit unit;
};

const int kName = 255;
const int kNote = 4000;
const int kSettings = 64 * 1024;

// Names, logins, phones, addresses and other one-line texts: 255
// characters; notes and errors: 4,000; settings maps and lists: 64 KiB
// stored.
const Limit kLimits[] = {
    {FieldLimits::User, "login", kName, Characters},
    {FieldLimits::User, "fio", kName, Characters},
    {FieldLimits::User, "office", kName, Characters},
    {FieldLimits::User, "phone", kName, Characters},
    {FieldLimits::User, "password", kName, Characters},
    {FieldLimits::User, "note", kNote, Characters},
    {FieldLimits::User, "access", kSettings, StoredBytes},

    {FieldLimits::Group, "name", kName, Characters},

    {FieldLimits::Node, "name", kName, Characters},
    {FieldLimits::Node, "model_code", kName, Characters},
    {FieldLimits::Node, "model_name", kName, Characters},
    {FieldLimits::Node, "consumer", kName, Characters},
    {FieldLimits::Node, "provider", kName, Characters},
    {FieldLimits::Node, "address", kName, Characters},
    {FieldLimits::Node, "contract", kName, Characters},
    {FieldLimits::Node, "s#_type", kName, Characters},
    {FieldLimits::Node, "param#", kName, Characters},
    {FieldLimits::Node, "note", kNote, Characters},
    {FieldLimits::Node, "check_params", kSettings, StoredBytes},

    {FieldLimits::Task, "varnel_ip", kName, Characters},
    {FieldLimits::Task, "channel_code", kName, Characters},
    {FieldLimits::Task, "phone_or_ip", kName, Characters},
    {FieldLimits::Task, "device_id", kName, Characters},
    {FieldLimits::Task, "last_error", kNote, Characters},
    {FieldLimits::Task, "channel", kSettings, StoredBytes},
    {FieldLimits::Task, "archives", kSettings, StoredBytes},
    {FieldLimits::Task, "timetable", kSettings, StoredBytes},
};

bool matches(const char *pattern, const QString &field)
{
    const QString text = QLatin1String(pattern);
    const int hash = text.indexOf(QLatin1Char('#'));
    if (hash < 0)
        return field == text;
    const QString head = text.left(hash);
    const QString tail = text.mid(hash + 1);
    if (field.size() <= head.size() + tail.size() || !field.startsWith(head) || !field.endsWith(tail))
        return false;
    const QString number = field.mid(head.size(), field.size() - head.size() - tail.size());
    return std::all_of(number.cbegin(), number.cend(),
                       [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

const Limit *find(FieldLimits::Record record, const QString &field)
{
    for (const Limit &limit : kLimits) {
        if (limit.record == record && matches(limit.field, field))
            return &limit;
    }
    return nullptr;
}

// Texts by their characters (bytes for byte arrays); numbers and dates are
// short whatever they hold.
qint64 characters(const QVariant &value)
{
    if (value.userType() == QMetaType::QByteArray)
        return value.toByteArray().size();
    return value.toString().size();
}

// The size of the value as the database keeps it.
qint64 storedBytes(const QVariant &value)
{
    QByteArray bytes;
    ZeltoStream stream(&bytes, QIODevice::WriteOnly);
    stream << value;
    return bytes.size();
}

} // namespace

ZeltoStatus FieldLimits::check(Record record, const QVariantMap &values)
{
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        const Limit *limit = find(record, it.key());
        if (!limit)
            continue;
        if (limit->unit == Characters && characters(it.value()) > limit->most)
            return ZeltoStatus::invalid(
                tr("Слишком длинное значение поля %1: не более %2 символов").arg(it.key()).arg(limit->most));
        if (limit->unit == StoredBytes && storedBytes(it.value()) > limit->most)
            return ZeltoStatus::invalid(
                tr("Слишком большое значение поля %1: не более %2 байт").arg(it.key()).arg(limit->most));
    }
    return ZeltoStatus();
}

int FieldLimits::maxLength(Record record, const QString &field)
{
    const Limit *limit = find(record, field);
    return limit && limit->unit == Characters ? limit->most : -1;
}

QString FieldLimits::cut(Record record, const QString &field, const QString &text)
{
    const int most = maxLength(record, field);
    return most < 0 ? text : text.left(most);
}
