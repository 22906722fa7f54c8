#include "slave/context.h"

// Static storage: every member starts zero except the two capacities.
MasterContext g_master;
