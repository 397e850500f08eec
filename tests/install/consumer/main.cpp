// A program of another project: it uses the installed helper through its
// public header and the plain entry points.
#include <TQCIHelper.h>

#include <cstdio>

int main() {
    void* handle = initEraseCIHelper();
    if (handle == nullptr) {
        return 1;
    }
    // A null path is refused without a directory or a server.
    const int refused = eraseBackupData(handle, 1, 2, 3, nullptr, false);
    deInitEraseCIHelper(handle);
    std::printf("consumer: %s\n", refused == 1 ? "ok" : "unexpected result");
    return refused == 1 ? 0 : 1;
}
