#include "parametercolumns.h"

#include "zeltotable.h"

#include <QDateTime>

#include <cmath>

namespace {

// The codes the catalogue gives the flags of a word that it lists without codes, by bit.
const QString kFlagDigits = QStringLiteral("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");

} // namespace

void ParameterColumns::add(const QVariantMap &description)
{
    for (const QVariant &item : description.value(QStringLiteral("systems")).toList()) {
        const QVariantMap system = item.toMap();
        m_systems.insert(system.value(QStringLiteral("code")).toInt(), system.value(QStringLiteral("name")).toString());
    }
    for (const QVariant &item : description.value(QStringLiteral("params")).toList()) {
        const QVariantMap param = item.toMap();
        Column column;
        column.code = param.value(QStringLiteral("code")).toString();
        if (column.code.isEmpty() || m_columns.contains(column.code))
            continue;
        column.title = param.value(QStringLiteral("name")).toString();
        if (column.title.isEmpty())
            column.title = column.code;
        column.unit = param.value(QStringLiteral("unit")).toString();
        column.type = param.value(QStringLiteral("type")).toString();
        const QVariant precision = param.value(QStringLiteral("precision"));
        column.precision = precision.isValid() ? precision.toInt() : -1;
        const bool flags = column.type == QLatin1String("Flags");
        for (const QVariant &entry : param.value(QStringLiteral("enum")).toList()) {
            const QVariantList pair = entry.toList();
            if (pair.size() != 2)
                continue;
            const QString code = pair.at(0).toString();
            if (!flags) {
                column.items.insert(code, pair.at(1).toString());
                continue;
            }
            // A flag's code is its bit: a digit or letter of kFlagDigits, or a number.
            bool isNumber = false;
            const int number = code.toInt(&isNumber);
            const int bit = code.size() == 1 ? kFlagDigits.indexOf(code.at(0).toUpper()) : isNumber ? number : -1;
            if (bit >= 0 && bit < 64) {
                column.flagCodes.insert(bit, code);
                column.flagTitles.insert(bit, pair.at(1).toString());
            }
        }
        m_codes.append(column.code);
        m_columns.insert(column.code, column);
        m_systemOf.insert(column.code, param.value(QStringLiteral("system")).toInt());
    }
}

const ParameterColumns::Column &ParameterColumns::column(const QString &code) const
{
    static const Column none;
    const auto it = m_columns.constFind(code);
    return it == m_columns.constEnd() ? none : it.value();
}

QString ParameterColumns::heading(const QString &code, bool withUnit) const
{
    const Column &c = column(code);
    QString text = c.title.isEmpty() ? code : c.title;
    // Systems repeat their parameters' titles: name the system when there
    // is more than one.
    QSet<int> systems;
    for (int system : m_systemOf)
        if (system > 0)
            systems.insert(system);
    const int system = m_systemOf.value(code);
    if (systems.size() > 1 && system > 0)
        text = m_systems.value(system, tr("Система %1").arg(system)) + QLatin1String(". ") + text;
    if (withUnit && !c.unit.isEmpty())
        text += QLatin1String(", ") + c.unit;
    return text;
}

QString ParameterColumns::plainText(const QVariant &value, QChar decimalMark, const QString &markerUnused, int precision)
{
    if (!value.isValid() || value.isNull())
        return QString();
    if (value.userType() == qMetaTypeId<ZeltoUnused>())
        return markerUnused;
    if (value.userType() == qMetaTypeId<ZeltoOutOfRange>())
        return tr("вне диапазона");
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? tr("да") : tr("нет");
    case QMetaType::QDateTime: {
        const QDateTime dateTime = value.toDateTime();
        return dateTime.time() == QTime(0, 0) ? dateTime.toString(QStringLiteral("dd.MM.yyyy"))
                                               : dateTime.toString(QStringLiteral("dd.MM.yyyy hh:mm"));
    }
    case QMetaType::QDate:
        return value.toDate().toString(QStringLiteral("dd.MM.yyyy"));
    case QMetaType::QString:
        return value.toString();
    default:
        break;
    }
    if (!Zelto::isNumber(value))
        return value.toString();
    QString text;
    if (precision >= 0) {
        text = QString::number(value.toDouble(), 'f', precision);
        // A value that rounds to zero is 0 whatever its sign: a counter of -0.0004 is no negative reading.
        const QString digits = text.mid(1).remove(QLatin1Char('.'));
        if (text.startsWith(QLatin1Char('-')) && digits.count(QLatin1Char('0')) == digits.size())
            text.remove(0, 1);
    }
    else if (value.userType() == QMetaType::Double || value.userType() == QMetaType::Float)
        text = QString::number(value.toDouble(), 'g', 15);
    else
        text = value.toString();
    if (decimalMark != QLatin1Char('.'))
        text.replace(QLatin1Char('.'), decimalMark);
    return text;
}

bool ParameterColumns::isFlags(const QString &code) const
{
    return column(code).type == QLatin1String("Flags");
}

bool ParameterColumns::flagBits(const QVariant &value, quint64 &bits)
{
    if (!Zelto::isNumber(value))
        return false;
    const double number = value.toDouble();
    if (value.userType() == QMetaType::Double || value.userType() == QMetaType::Float) {
        if (!std::isfinite(number) || number != std::floor(number) || std::fabs(number) > 9.0e18)
            return false;
        bits = quint64(qint64(number));
    } else {
        bits = value.userType() == QMetaType::ULongLong ? value.toULongLong() : quint64(value.toLongLong());
    }
    return true;
}

QString ParameterColumns::flagCode(const Column &column, int bit)
{
    return column.flagCodes.value(bit, bit < kFlagDigits.size() ? QString(kFlagDigits.at(bit)) : QString::number(bit));
}

QString ParameterColumns::flagTitle(const Column &column, int bit)
{
    return column.flagTitles.value(bit, tr("без описания (разряд %1)").arg(bit));
}

QStringList ParameterColumns::flagLegend(const QString &code, quint64 bits) const
{
    const Column &c = column(code);
    QStringList lines;
    for (int bit = 0; bit < 64; ++bit) {
        if (bits & (quint64(1) << bit))
            lines << flagCode(c, bit) + QLatin1String(" - ") + flagTitle(c, bit);
    }
    return lines;
}

QString ParameterColumns::text(const QString &code, const QVariant &value, QChar decimalMark,
                               const QString &markerUnused, bool flagTitles) const
{
    const Column &c = column(code);
    quint64 bits = 0;
    if (c.type == QLatin1String("Flags") && flagBits(value, bits)) {
        QStringList set;
        for (int bit = 0; bit < 64; ++bit) {
            if (bits & (quint64(1) << bit))
                set << (flagTitles ? flagTitle(c, bit) : flagCode(c, bit));
        }
        return set.join(flagTitles ? QLatin1String("; ") : QLatin1String(" "));
    }
    if (!c.items.isEmpty() && Zelto::isNumber(value)) {
        const auto item = c.items.constFind(value.toString());
        if (item != c.items.constEnd())
            return item.value();
    }
    return plainText(value, decimalMark, markerUnused, c.precision);
}
