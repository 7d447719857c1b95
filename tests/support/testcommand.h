#pragma once

#include "zeltocommand.h"

#include <functional>

// A command whose body is a function, registered while it lives.
struct TestCommand : ZeltoCommand
{
    using Body = std::function<ZeltoResult<QVariant>(const QVariantList &)>;
    TestCommand(const char *name, Body body, int paramCount = -1)
        : ZeltoCommand(QString::fromLatin1(name), paramCount), m_body(std::move(body))
    {
    }
    ZeltoResult<QVariant> call(const QVariantList &params) override { return m_body(params); }
    const Body m_body;
};
