/*
 * Linked against the unversioned stub (rs485_unversioned_stub.c), run with the real library:
 * an application linked before the symbols had a version node. Prints what the library
 * answered, one "@ " line each.
 */
#include <stdio.h>

#include "rs485.h"

int main(void) {
    printf("@ verGet %u\n", (unsigned)pxa_rs485_verGet());
    printf("@ setComFlags %d\n", pxa_rs485_setComFlags(1, 1));
    printf("@ facade %s\n", dw485if == NULL ? "null" : "set");
    return 0;
}
