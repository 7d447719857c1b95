#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include "zeltostatus.h"

// A named RPC command. Constructing one registers it with the process-wide
// registry, in construction order; the RPC server looks calls up by name and
// runs call on the main thread: its value, or the status of its failure,
// whose kind chooses the error code the client gets.
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

    // Runs the command: its value, or the status of its failure.
    virtual ZeltoResult<QVariant> call(const QVariantList &params) = 0;

    static ZeltoCommand *find(const QString &name);

private:
    QString m_name;
    int m_paramCount;
};
