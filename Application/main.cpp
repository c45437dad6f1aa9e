// talvo_rc: drives a TALVO unit by remote function calls over a serial line or TCP/IP.
#include "Application/AppMain.h"

int main(int argc, char** argv) {
    return AppMain(argc, argv);
}
