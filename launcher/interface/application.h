#ifndef APPLICATION_H
#define APPLICATION_H

#include <QApplication>

// Drops painting, geometry and similar events while the framework says the
// application is not visible.
class Application : public QApplication
{
public:
    Application(int &argc, char **argv);
    ~Application() override;

    bool notify(QObject *receiver, QEvent *event) override;

    // Defined by the framework; called once per event, so it must be cheap.
    static bool isApVisible();
};

#endif
