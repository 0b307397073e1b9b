/* A 32-bit Windows client that loads nuv.dll by name and resolves its
   exports by their decorated names, exactly as an existing application does.
   Exits 0 when every answer is right. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#ifdef _WIN64
/* One calling convention and undecorated names on 64-bit Windows. */
#define DECORATED(name, bytes) #name
#else
#define DECORATED(name, bytes) "_" #name "@" #bytes
#endif

typedef unsigned char(__stdcall *VersionFn)(char *, int);
typedef int(__stdcall *BufferSizeFn)(int);

static int failures = 0;
static int passes = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++failures;
    } else {
        printf("ok: %s\n", what);
        ++passes;
    }
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "nuv.dll";
    HMODULE library = LoadLibraryA(path);
    if (library == NULL) {
        printf("FAILED: LoadLibraryA(%s), error %lu\n", path, (unsigned long)GetLastError());
        return 1;
    }
    VersionFn version = (VersionFn)(void *)GetProcAddress(library, DECORATED(NuvDLLVersion, 8));
    BufferSizeFn bufferSize = (BufferSizeFn)(void *)GetProcAddress(library, DECORATED(NuvGetBufferSize, 4));
    check(version != NULL, DECORATED(NuvDLLVersion, 8) " resolves");
    check(bufferSize != NULL, DECORATED(NuvGetBufferSize, 4) " resolves");
    if (version != NULL) {
        char text[64];
        char small[52];
        memset(text, 'x', sizeof text);
        check(version(text, 53) == 1, "NuvDLLVersion with 53 bytes succeeds");
        check(strlen(text) == 52, "version text has 52 characters");
        check(strncmp(text, "Version 1.1.0.0\r\nDate : ", 24) == 0, "version text starts right");
        check(strncmp(text + 35, "\r\nTime : ", 9) == 0, "version text has the time");
        memset(small, 'x', sizeof small);
        check(version(small, 52) == 0 && small[0] == '\0', "52 bytes fail with an empty string");
        check(version(NULL, 100) == 0, "null buffer fails");
    }
    if (bufferSize != NULL) {
        check(bufferSize(-1) == 0, "NuvGetBufferSize(-1) is 0");
        check(bufferSize(0) == 0, "NuvGetBufferSize(0) is 0 with nothing open");
        check(bufferSize(9) == 0, "NuvGetBufferSize(9) is 0 with nothing open");
    }
    FreeLibrary(library);
    printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
