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
 *
 * It is built with -Wwrite-strings -Werror: Tuxedo's prototypes take plain
 * char* for every name and value, so the names are passed from char arrays,
 * as a client built against a real installation must.
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

static char fml32[] = "FML32", tpinit_type[] = "TPINIT", tmib[] = ".TMIB", view[] = "walkview";
static char get[] = "GET", getnext[] = "GETNEXT";
static char ta_operation[] = "TA_OPERATION", ta_class[] = "TA_CLASS", ta_occurs[] = "TA_OCCURS";
static char ta_more[] = "TA_MORE", ta_cursor[] = "TA_CURSOR", ta_lmid[] = "TA_LMID";
static char ta_appqspacename[] = "TA_APPQSPACENAME", ta_qmconfig[] = "TA_QMCONFIG";

static int failed(const char* what) {
    fprintf(stderr, "c_client: %s: %d: %s\n", what, tperrno, tpstrerror(tperrno));
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        fprintf(stderr, "usage: c_client CLASS [QSPACE QMCONFIG LMID]\n");
        return 2;
    }
    TPINIT* info = (TPINIT*)tpalloc(tpinit_type, NULL, (long)TPINITNEED(0));
    if (info == NULL) return failed("tpalloc");
    strcpy(info->usrname, "cclient");
    strcpy(info->cltname, "walker");
    if (tpinit(info) == -1) return failed("tpinit");

    FBFR32* req = (FBFR32*)tpalloc(fml32, NULL, 0);
    FBFR32* rep = (FBFR32*)tpalloc(fml32, NULL, 1024);
    if (req == NULL || rep == NULL) return failed("tpalloc");
    long one = 1;
    Fchg32(req, Fldid32(ta_operation), 0, get, 0);
    Fchg32(req, Fldid32(ta_class), 0, argv[1], 0);
    Fchg32(req, Fldid32(ta_occurs), 0, (char*)&one, 0);
    if (argc == 5) {
        Fchg32(req, Fldid32(ta_appqspacename), 0, argv[2], 0);
        Fchg32(req, Fldid32(ta_qmconfig), 0, argv[3], 0);
        Fchg32(req, Fldid32(ta_lmid), 0, argv[4], 0);
    }

    long objects = 0, calls = 0;
    for (;;) {
        long len = 0;
        struct walkview row;
        Fvsinit32((char*)&row, view);
        if (tpcall(tmib, (char*)req, 0, (char**)&rep, &len, TPNOTRAN | TPNOCHANGE | TPSIGRSTRT) == -1) {
            return failed("tpcall");
        }
        ++calls;
        Fvftos32(rep, (char*)&row, view);
        objects += row.occurs;
        printf("object %ld: class=%s state=%s lmid=%s more=%ld\n", objects, row.cls, row.state, row.lmid, row.more);
        if (calls == 1) Fprint32(rep);
        long more = 0;
        FLDLEN32 mlen = sizeof more;
        if (Fget32(rep, Fldid32(ta_more), 0, (char*)&more, &mlen) == -1 || more == 0) break;
        char* cursor = Ffind32(rep, Fldid32(ta_cursor), 0, NULL);
        if (cursor == NULL) return failed("TA_CURSOR");
        Fchg32(req, Fldid32(ta_operation), 0, getnext, 0);
        Fchg32(req, Fldid32(ta_cursor), 0, cursor, 0);
    }
    printf("objects: %ld in %ld calls\n", objects, calls);
    tpfree((char*)req);
    tpfree((char*)rep);
    tpfree((char*)info);
    tpterm();
    return objects > 0 ? 0 : 3;
}
