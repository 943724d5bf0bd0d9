// privilege.cpp -- the process's effective capabilities, read from /proc/self/status.
#include "base/privilege.h"

#include <stdio.h>
#include <string.h>

bool privilege_held(int capability) {
    FILE *f = fopen("/proc/self/status", "re");
    if (!f)
        return false;
    char line[256];
    unsigned long long effective = 0;
    bool found = false;
    while (!found && fgets(line, sizeof line, f))
        found = sscanf(line, "CapEff: %llx", &effective) == 1;
    fclose(f);
    return found && capability >= 0 && capability < 64 && ((effective >> capability) & 1);
}
