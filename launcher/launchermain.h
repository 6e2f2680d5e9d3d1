#ifndef LAUNCHERMAIN_H
#define LAUNCHERMAIN_H

// The whole life of the launcher process: start-up, event loop, teardown.
// Returns the event loop's exit value.
int launcherMain(int &argc, char **argv);

#endif
