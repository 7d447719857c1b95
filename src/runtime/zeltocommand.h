#pragma once

#include <QList>
#include <QString>
#include <QVariant>

// A named RPC command. Constructing one registers it with the process-wide
// registry, in construction order; the RPC server looks calls up by name and
// runs execute on the main thread. An invalid result means failure: the
// server then sends the last error of ZeltoSystem.
class ZeltoCommand
{
public:
    // paramCount -1 accepts any number of parameters.
    ZeltoCommand(const QString &name, int paramCount);
    virtual ~ZeltoCommand();

    ZeltoCommand(const ZeltoCommand &) = delete;
    ZeltoCommand &operator=(const ZeltoCommand &) = delete;

    QString name() const { return m_name; }
    int paramCount() const { return m_paramCount; }

    virtual QVariant execute(const QVariantList &params) = 0;

    static ZeltoCommand *find(const QString &name);
    static QList<ZeltoCommand *> all();  // in registration order

private:
    QString m_name;
    int m_paramCount;
};
