#ifndef MAINSTART_H
#define MAINSTART_H

// Brings the system up in its fixed order.
class MainStart
{
public:
    MainStart();
    ~MainStart();

    void start();
};

#endif
