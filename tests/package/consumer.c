#include <krmodule/krmodule.h>
#include <stdio.h>

int main(void) {
    uint8_t version[4];
    if (kr_T2K_GetVersion(version) != KR_OK) return 1;
    printf("found krmodule %d.%d.%d.%d\n", version[0], version[1], version[2], version[3]);
    return version[0] == 2 ? 0 : 1;
}
