#include "zeltostreamformat.h"

#include "zeltotable.h"

namespace ZeltoStreamFormat {

namespace {

struct UserTypes
{
    int table;
    int tableMap;
    int outOfRange;
    int unused;
};

const UserTypes &userTypes()
{
    static const UserTypes ids = { qMetaTypeId<ZeltoTable>(), qMetaTypeId<ZeltoTableMap>(),
                                   qMetaTypeId<ZeltoOutOfRange>(), qMetaTypeId<ZeltoUnused>() };
    return ids;
}

} // namespace

int tagOfType(int type)
{
    switch (type) {
    case QMetaType::UnknownType: return TagNull;
    case QMetaType::Bool: return TagBool;
    case QMetaType::Int: return TagInt;
    case QMetaType::UInt: return TagUInt;
    case QMetaType::LongLong: return TagLongLong;
    case QMetaType::ULongLong: return TagULongLong;
    case QMetaType::Double: return TagDouble;
    case QMetaType::QString: return TagString;
    case QMetaType::QByteArray: return TagByteArray;
    case QMetaType::QDateTime: return TagDateTime;
    case QMetaType::QDate: return TagDate;
    case QMetaType::QTime: return TagTime;
    case QMetaType::QStringList: return TagStringList;
    case QMetaType::QVariantList: return TagList;
    case QMetaType::QVariantMap: return TagMap;
    case QMetaType::Char: return TagChar;
    case QMetaType::QChar: return TagQChar;
    default: break;
    }
    const UserTypes &ids = userTypes();
    if (type == ids.table)
        return TagTable;
    if (type == ids.tableMap)
        return TagTableMap;
    if (type == ids.outOfRange)
        return TagOutOfRange;
    if (type == ids.unused)
        return TagUnused;
    return -1;
}

int typeOfTag(int tag)
{
    static const int builtIn[] = { QMetaType::UnknownType, QMetaType::Bool, QMetaType::Int, QMetaType::UInt,
                                   QMetaType::LongLong, QMetaType::ULongLong, QMetaType::Double,
                                   QMetaType::QString, QMetaType::QByteArray, QMetaType::QDateTime,
                                   QMetaType::QDate, QMetaType::QTime, QMetaType::QStringList,
                                   QMetaType::QVariantList, QMetaType::QVariantMap };
    if (tag >= 0 && tag < int(sizeof builtIn / sizeof builtIn[0]))
        return builtIn[tag];
    const UserTypes &ids = userTypes();
    switch (tag) {
    case TagTable: return ids.table;
    case TagTableMap: return ids.tableMap;
    case TagOutOfRange: return ids.outOfRange;
    case TagUnused: return ids.unused;
    case TagChar: return QMetaType::Char;
    case TagQChar: return QMetaType::QChar;
    default: return QMetaType::UnknownType;
    }
}

bool bodyKeepsNull(int tag)
{
    switch (tag) {
    case TagNull:
    case TagString:
    case TagByteArray:
    case TagDateTime:
    case TagDate:
    case TagTime:
        return true;
    default:
        return false;
    }
}

bool isScalarTag(int tag)
{
    return (tag >= TagNull && tag <= TagTime) || (tag >= TagOutOfRange && tag <= TagQChar);
}

bool isColumnTag(int tag)
{
    return (tag >= TagNull && tag <= TagTime) || tag == TagChar || tag == TagQChar;
}

int minimalCellSize(int tag)
{
    switch (tag) {
    case TagNull:
        return 0;
    case TagDouble:
        return 8;
    default:
        return 1;
    }
}

int fixedCellSize(int tag)
{
    switch (tag) {
    case TagNull:
        return 0;
    case TagBool:
    case TagChar:
        return 1;
    case TagDouble:
        return 8;
    default:
        return -1;
    }
}

int varintSize(quint64 v)
{
    int n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

int writeVarint(quint64 v, char *out)
{
    int n = 0;
    while (v >= 0x80) {
        out[n++] = char(uchar(v) | 0x80);
        v >>= 7;
    }
    out[n++] = char(v);
    return n;
}

QString typeName(int type)
{
    const char *name = QMetaType::typeName(type);
    return name ? QString::fromLatin1(name) : QStringLiteral("#%1").arg(type);
}

} // namespace ZeltoStreamFormat
