// tavix-updater: the firmware updater on the operating system's disks.
#include "app/updater_main.h"

int main(int argc, char **argv)
{
    return runUpdater(argc, argv);
}
