#ifndef JOININGTHREAD_H
#define JOININGTHREAD_H

#include <thread>

// Joins on every way out of a test function, failed comparisons included.
class JoiningThread : public std::thread
{
public:
    using std::thread::thread;
    ~JoiningThread()
    {
        if (joinable())
            join();
    }
};

#endif
