/*
 * A librs485.so.1 as the library was before its symbols had a version node: the same names,
 * without versions. Programs linked against it must run with the real library. The values
 * differ from the real library's, so that a run shows which one answered.
 */
void* dw485if = (void*)&dw485if;

unsigned short pxa_rs485_verGet(void) {
    return 77;
}

int pxa_rs485_setComFlags(int channel, int flags) {
    (void)channel;
    (void)flags;
    return 5;
}
