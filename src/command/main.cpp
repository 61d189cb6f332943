// crateFerry: started as upload or remove, performs that one operation and exits.
#include "command/command.h"

int main(int argc, char** argv) {
    return crateferry_main(argc, argv);
}
