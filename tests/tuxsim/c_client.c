/*
 * A client written only against Tuxedo's documented ATMI, FML32 and VIEW32
 * calls. It walks one MIB class with GET/GETNEXT and TA_OCCURS 1, converts
 * each reply through the view "walkview" and prints one line per object.
 *
 *   c_client CLASS [QSPACE QMCONFIG LMID]
 *
 * The /Q classes need their queue space's three keys. Exit status 0 when the
 * walk ended with TA_MORE 0 after at least one object, 1 on a failed call, 2
 * on bad arguments, 3 when the class had no objects.
 */
#include <stdio.h>
#include <string.h>

#include "atmi.h"
#include "fml32.h"

struct walkview {
    char cls[16];
    char state[16];
    char lmid[30];
    long occurs;
    long more;
};

static int failed(const char* what) {
    fprintf(stderr, "c_client: %s: %d: %s\n", what, tperrno, tpstrerror(tperrno));
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        fprintf(stderr, "usage: c_client CLASS [QSPACE QMCONFIG LMID]\n");
        return 2;
    }
    TPINIT* info = (TPINIT*)tpalloc("TPINIT", NULL, sizeof(TPINIT));
    if (info == NULL) return failed("tpalloc");
    strcpy(info->usrname, "cclient");
    strcpy(info->cltname, "walker");
    if (tpinit(info) == -1) return failed("tpinit");

    FBFR32* req = (FBFR32*)tpalloc("FML32", NULL, 0);
    FBFR32* rep = (FBFR32*)tpalloc("FML32", NULL, 1024);
    if (req == NULL || rep == NULL) return failed("tpalloc");
    long one = 1;
    Fchg32(req, Fldid32("TA_OPERATION"), 0, "GET", 0);
    Fchg32(req, Fldid32("TA_CLASS"), 0, argv[1], 0);
    Fchg32(req, Fldid32("TA_OCCURS"), 0, (char*)&one, 0);
    if (argc == 5) {
        Fchg32(req, Fldid32("TA_APPQSPACENAME"), 0, argv[2], 0);
        Fchg32(req, Fldid32("TA_QMCONFIG"), 0, argv[3], 0);
        Fchg32(req, Fldid32("TA_LMID"), 0, argv[4], 0);
    }

    long objects = 0, calls = 0;
    for (;;) {
        long len = 0;
        struct walkview row;
        Fvsinit32((char*)&row, "walkview");
        if (tpcall(".TMIB", (char*)req, 0, (char**)&rep, &len, TPNOTRAN | TPNOCHANGE | TPSIGRSTRT) == -1) {
            return failed("tpcall");
        }
        ++calls;
        Fvftos32(rep, (char*)&row, "walkview");
        objects += row.occurs;
        printf("object %ld: class=%s state=%s lmid=%s more=%ld\n", objects, row.cls, row.state, row.lmid, row.more);
        if (calls == 1) Fprint32(rep);
        long more = 0;
        FLDLEN32 mlen = sizeof more;
        if (Fget32(rep, Fldid32("TA_MORE"), 0, (char*)&more, &mlen) == -1 || more == 0) break;
        char* cursor = Ffind32(rep, Fldid32("TA_CURSOR"), 0, NULL);
        if (cursor == NULL) return failed("TA_CURSOR");
        Fchg32(req, Fldid32("TA_OPERATION"), 0, "GETNEXT", 0);
        Fchg32(req, Fldid32("TA_CURSOR"), 0, cursor, 0);
    }
    printf("objects: %ld in %ld calls\n", objects, calls);
    tpfree((char*)req);
    tpfree((char*)rep);
    tpfree((char*)info);
    tpterm();
    return objects > 0 ? 0 : 3;
}
