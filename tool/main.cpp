// PENDING: the program entry is being written.
#include "api/connection.h"
#include "ecdevice.h"
#include "tool/alias_dialog.h"
int main() {
    SetSegmentHandler(AliasDialog);
    return Init();
}
