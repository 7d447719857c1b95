#include "analizer.h"

#include "database.h"
#include "metadatacatalogue.h"
#include "recordfields.h"
#include "scripttimebudget.h"
#include "zeltosystem.h"

#include <QScriptEngine>
#include <QStringList>

#include <limits>

namespace {

const QString kDate = QStringLiteral("date");
const QString kCheckError = QStringLiteral("CHECK_ERR");

QString formatNumber(double value)
{
    return QString::number(value, 'g', 6);
}

// The letter a check() data text uses for an archive; none for others.
QChar archiveLetter(const QString &archive)
{
    if (archive == QLatin1String("current_data"))
        return QLatin1Char('C');
    if (archive == QLatin1String("month_data"))
        return QLatin1Char('M');
    if (archive == QLatin1String("day_data"))
        return QLatin1Char('D');
    if (archive == QLatin1String("hour_data"))
        return QLatin1Char('H');
    return QChar();
}

// The bit an enumeration item of a flags parameter stands for: its code
// read as a decimal number, or a single character of 0-9A-Z as its place.
int itemBit(const QString &code)
{
    bool ok = false;
    int bit = code.toInt(&ok);
    if (!ok) {
        bit = code.size() == 1 ? QStringLiteral("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ").indexOf(code.at(0).toUpper())
                               : -1;
    }
    return bit >= 0 && bit < 64 ? bit : -1;
}

const QString kRowTimeout = QStringLiteral("scriptRowTimeout");
const QString kTableTimeout = QStringLiteral("scriptTableTimeout");

// Budgets are settings without a seeded default: absent, non-numeric or
// non-positive values give the built-in limit; the budget caps large ones.
int timeoutSetting(Database *database, const QString &name, int defaultValue)
{
    if (!database)
        return defaultValue;
    bool ok = false;
    const qlonglong value = database->setting(name).value().toLongLong(&ok);
    return ok && value > 0 ? int(qMin<qlonglong>(value, std::numeric_limits<int>::max())) : defaultValue;
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// Qt Script keeps two small allocations of its one-time start-up (made in
// the first engine's constructor) for the life of the process; the leak
// checker of sanitizer builds would report them at every exit. Its stacks
// end inside the library (built without frame pointers), so only the
// library's name can match them.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libQt5Script.so\n";
}
#endif

ZeltoStatus Analizer::checkTimeoutSetting(const QString &name, const QVariant &value)
{
    if (name != kRowTimeout && name != kTableTimeout)
        return ZeltoStatus();
    int ms = 0;
    if (RecordFields::toInt(value, ms) && ms >= 1 && ms <= ScriptTimeBudget::kMaxLimitMs)
        return ZeltoStatus();
    return ZeltoStatus::invalid(tr("Неверное значение настройки %1: ожидается целое число миллисекунд от 1 до %2")
                                    .arg(name)
                                    .arg(ScriptTimeBudget::kMaxLimitMs));
}

Analizer::Analizer(const QString &modelCode, Database *database, QObject *parent)
    : QObject(parent),
      m_database(database),
      m_engine(new QScriptEngine(this)),
      m_modelCode(modelCode),
      m_findings(QStringList{QStringLiteral("atime"), QStringLiteral("archive"), QStringLiteral("message")})
{
    m_baseGlobal = m_engine->globalObject();
}

Analizer::~Analizer() = default;

Analizer::Data Analizer::kindOf(const QString &archiveName)
{
    if (archiveName == QLatin1String("month_data"))
        return Month;
    if (archiveName == QLatin1String("day_data"))
        return Day;
    if (archiveName == QLatin1String("hour_data"))
        return Hour;
    return Current;
}

void Analizer::setCheckParams(const QVariantMap &params)
{
    QString script = params.value(QStringLiteral("script")).toString().trimmed();
    const QVariantList criteria = params.value(QStringLiteral("criteria")).toList();
    for (const QVariant &element : criteria) {
        const QVariantList fields = element.toList();
        if (fields.size() < 4)
            continue;
        QString line = fields.at(0).toString() + QLatin1Char('(') + fields.at(1).toString() + QStringLiteral(", ")
                       + fields.at(2).toString() + QStringLiteral(", ") + fields.at(3).toString();
        if (fields.size() > 4)
            line += QStringLiteral(", ") + fields.at(4).toString();
        script += QLatin1Char('\n') + line + QLatin1Char(')');
    }
    if (params.value(QStringLiteral("checkErrors")).toBool())
        script += QStringLiteral("\ncheckErrors(Enum.All)");

    m_script = script;
    if (!script.isEmpty())
        m_program = QScriptProgram(script, QString(), 1);
}

ZeltoStatus Analizer::check(ZeltoTable &table, const QString &archiveName)
{
    if (m_program.isNull() || table.rowCount() == 0)
        return ZeltoStatus();
    m_archive = archiveName;
    m_kind = kindOf(archiveName);
    m_table = &table;
    installGlobals();

    ZeltoStatus ok;
    {
        ScriptTimeBudget budget(m_engine,
                                timeoutSetting(m_database, kRowTimeout, kDefaultRowTimeoutMs),
                                timeoutSetting(m_database, kTableTimeout, kDefaultTableTimeoutMs));
        for (int row = 0; row < table.rowCount(); ++row) {
            if (!budget.tableTimeLeft()) {
                ok = ZeltoStatus::failed(budget.message());
                break;
            }
            m_record = table.record(row);
            budget.startRow();
            m_engine->evaluate(m_program);
            if (budget.exceeded()) {
                m_engine->clearExceptions();
                ok = ZeltoStatus::failed(budget.message());
                break;
            }
            if (m_engine->hasUncaughtException()) {
                const QString text = m_engine->uncaughtException().toString();
                m_engine->clearExceptions();
                ok = ZeltoStatus::failed(text);
                break;
            }
        }
    }
    m_record = ZeltoRecord();
    m_table = nullptr;
    return ok;
}

ZeltoStatus Analizer::checkAll(ZeltoTableMap &tables)
{
    static const QStringList kChecked = {QStringLiteral("current_data"), QStringLiteral("day_data"),
                                         QStringLiteral("hour_data"), QStringLiteral("month_data")};
    for (auto it = tables.begin(); it != tables.end(); ++it) {
        if (!kChecked.contains(it.key()))
            continue;
        const ZeltoStatus checked = check(it.value(), it.key());
        if (!checked.ok())
            return checked;
    }
    return ZeltoStatus();
}

void Analizer::installGlobals()
{
    // The checker itself is the global object, so scripts call its slots
    // without a prefix; the engine's own global object stays behind it for
    // the language's built-ins. Only the slots are exposed: deleteLater or
    // objectName must not be reachable from a user script.
    QScriptValue global = m_engine->newQObject(
        this, QScriptEngine::QtOwnership,
        QScriptEngine::ExcludeSuperClassContents | QScriptEngine::ExcludeDeleteLater
            | QScriptEngine::ExcludeChildObjects);
    global.setPrototype(m_baseGlobal);

    const QScriptValue::PropertyFlags fixed = QScriptValue::ReadOnly | QScriptValue::Undeletable;
    const QString name = QString(m_archive).replace(QLatin1String("_d"), QLatin1String("D"));
    global.setProperty(QStringLiteral("Enum"), m_engine->newQMetaObject(&staticMetaObject));
    global.setProperty(QStringLiteral("actualData"), int(m_kind), fixed);
    global.setProperty(QStringLiteral("data"), name);
    global.setProperty(QStringLiteral("TABLE_NAME"), name, fixed);
    global.setProperty(QStringLiteral("DATA"), name, fixed);
    global.setProperty(QStringLiteral("ARCHIVE"), m_archive, fixed);
    m_engine->setGlobalObject(global);
}

bool Analizer::applies(Data data) const
{
    return m_table && (data == All || data == m_kind);
}

bool Analizer::usable(const QString &paramCode) const
{
    return m_table && m_table->containsColumn(paramCode) && MetadataCatalogue::instance().isParam(paramCode);
}

bool Analizer::number(const QString &column, double *result) const
{
    // An empty or non-numeric cell is a missing reading, not a value of 0.
    const QVariant cell = m_record.value(column);
    if (cell.isNull() || !cell.isValid())
        return false;
    bool ok = false;
    *result = cell.toDouble(&ok);
    return ok;
}

QString Analizer::title(const QString &paramCode) const
{
    const QString text = MetadataCatalogue::instance().paramTitle(paramCode, m_modelCode);
    return text.isEmpty() ? paramCode : text;
}

QString Analizer::bitTexts(const QString &paramCode, quint64 bits) const
{
    QString names[64];
    for (const MetadataCatalogue::EnumItem &item : MetadataCatalogue::instance().paramEnum(paramCode, m_modelCode)) {
        const int bit = itemBit(item.first);
        if (bit >= 0 && names[bit].isEmpty())
            names[bit] = item.second;
    }
    QStringList texts;
    for (int bit = 0; bit < 64; ++bit) {
        if (bits & (quint64(1) << bit))
            texts.append(names[bit].isEmpty() ? tr("бит %1").arg(bit) : names[bit]);
    }
    return texts.join(QStringLiteral(", "));
}

void Analizer::addFinding(const QString &message)
{
    const QString text = message.trimmed();
    if (text.isEmpty() || !m_table)
        return;
    m_record.setValue(kCheckError, true);
    m_findings.appendRow(QVariantList{m_record.value(kDate), m_archive, text});
    ++m_findingCount;
}

QVariant Analizer::value(const QString &paramCode)
{
    if (!m_table || !m_table->containsColumn(paramCode))
        return QVariant();
    return m_record.value(paramCode);
}

void Analizer::error(const QString &message)
{
    addFinding(message);
}

void Analizer::check(const QString &data, bool result, const QString &errorMessage)
{
    if (!m_table || result)
        return;
    const QChar letter = archiveLetter(m_archive);
    if (data.isEmpty() || (!letter.isNull() && data.contains(letter)))
        addFinding(errorMessage);
}

void Analizer::checkExpr(Data data, bool success, const QString &errorMessage)
{
    if (applies(data) && success)
        addFinding(errorMessage);
}

void Analizer::compareWithValue(Order order, Data data, const QString &paramCode, double value)
{
    double actual = 0;
    if (!applies(data) || !usable(paramCode) || !number(paramCode, &actual))
        return;
    if (order == Order::More ? actual > value : actual < value) {
        addFinding(QStringLiteral("%1 %2 %3")
                       .arg(title(paramCode), order == Order::More ? QStringLiteral(">") : QStringLiteral("<"),
                            formatNumber(value)));
    }
}

void Analizer::compareParams(Order order, Data data, const QString &paramCode1, const QString &paramCode2)
{
    double first = 0;
    double second = 0;
    if (!applies(data) || !usable(paramCode1) || !usable(paramCode2) || !number(paramCode1, &first)
        || !number(paramCode2, &second))
        return;
    if (order == Order::More ? first > second : first < second) {
        addFinding(QStringLiteral("%1 %2 %3")
                       .arg(title(paramCode1), order == Order::More ? QStringLiteral(">") : QStringLiteral("<"),
                            title(paramCode2)));
    }
}

void Analizer::checkMore(Data data, const QString &paramCode, double value)
{
    compareWithValue(Order::More, data, paramCode, value);
}

void Analizer::checkMore(Data data, const QString &paramCode1, const QString &paramCode2)
{
    compareParams(Order::More, data, paramCode1, paramCode2);
}

void Analizer::checkLess(Data data, const QString &paramCode, double value)
{
    compareWithValue(Order::Less, data, paramCode, value);
}

void Analizer::checkLess(Data data, const QString &paramCode1, const QString &paramCode2)
{
    compareParams(Order::Less, data, paramCode1, paramCode2);
}

void Analizer::checkNotIn(Data data, const QString &paramCode, double minValue, double maxValue)
{
    double actual = 0;
    if (!applies(data) || !usable(paramCode) || !number(paramCode, &actual))
        return;
    if (actual < minValue || actual > maxValue) {
        addFinding(tr("%1 вне диапазона [%2, %3]")
                       .arg(title(paramCode), formatNumber(minValue), formatNumber(maxValue)));
    }
}

void Analizer::checkError(Data data, const QString &paramCode)
{
    flagError(data, paramCode, ~quint64(0), QString());
}

void Analizer::checkError(Data data, const QString &paramCode, int mask, const QString &errorMessage)
{
    // A script number arrives as a 32-bit pattern; 0xFFFFFFFF and -1 alike
    // mean the low 32 bits.
    flagError(data, paramCode, quint32(mask), errorMessage);
}

void Analizer::flagError(Data data, const QString &paramCode, quint64 mask, const QString &errorMessage)
{
    const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
    if (!applies(data) || !catalogue.isErrorParam(paramCode) || catalogue.paramType(paramCode) != MetadataCatalogue::Flags
        || !m_table->containsColumn(paramCode))
        return;
    const QVariant cell = m_record.value(paramCode);
    bool ok = false;
    const quint64 flags = cell.isNull() ? 0 : cell.toULongLong(&ok);
    const quint64 bits = ok ? flags & mask : 0;
    if (bits == 0)
        return;
    // A blank message counts as none: the finding then names the bits.
    if (!errorMessage.trimmed().isEmpty())
        addFinding(errorMessage);
    else
        addFinding(title(paramCode) + QStringLiteral(": ") + bitTexts(paramCode, bits));
}

void Analizer::checkErrors(Data data, const QString &errorMessage)
{
    if (!applies(data))
        return;
    const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
    const QStringList columns = m_table->columnNames();
    for (const QString &column : columns) {
        if (!catalogue.isErrorParam(column))
            continue;
        const QVariant cell = m_record.value(column);
        if (cell.isNull() || !cell.toBool())
            continue;
        addFinding(errorMessage.trimmed().isEmpty() ? tr("НС прибора") : errorMessage);
        return;
    }
}
