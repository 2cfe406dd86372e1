#include "support/heap_check.h"

bool heapsIntact() {
    return true;
}
