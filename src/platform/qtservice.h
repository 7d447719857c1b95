#pragma once

#include "qtservicebase.h"
#include "qtservicecontroller.h"

// A service whose application object is an Application (QCoreApplication or
// a class derived from it), created from the process arguments by exec().
template <typename Application>
class QtService : public QtServiceBase
{
public:
    QtService(int argc, char **argv, const QString &name) : QtServiceBase(argc, argv, name) {}
    ~QtService() override { delete m_application; }

protected:
    // Null until exec() has created it.
    Application *application() const { return m_application; }

    void createApplication(int &argc, char **argv) override
    {
        if (!m_application)
            m_application = new Application(argc, argv);
    }

    int executeApplication() override { return Application::exec(); }

private:
    Application *m_application = nullptr;
};
