// tmib: asks the MIB of the stand-in's domain for the objects of one class and
// prints each reply with Fprint32.
//
//   tmib [-l] [-o OCCURS] [-d DOMAINFILE] [-n] GET CLASS [TA_NAME=value ...]
//
//   -l   MIB_LOCAL: also the class's local attributes
//   -o   TA_OCCURS: objects per reply
//   -d   the domain file (sets TUXSIM_DOMAIN)
//   -n   one reply only: do not follow TA_MORE with GETNEXT
//
// TA_NAME=value pairs go into the request as they are (keys and filters, for
// example TA_SRVGRP=BANKGRP1, or the /Q queue space's three keys).
// A secured domain: ZTA_APP_PASSWORD_FILE and ZTA_USER_PASSWORD_FILE name
// the files of the passwords, read as the agent reads them, and tmib then
// joins as the agent does ("TXWATCHER"/"tpsysadm"); without them it joins
// with no TPINIT at all.
// Exit status: 0 success, 1 a failed call or a walk cut short, 2 bad
// arguments, a domain file or a password file that cannot be used.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "atmi.h"
#include "fml32.h"
#include "join_secrets.h"
#include "walk_rule.h"

namespace {

constexpr long kMibLocal = 0x10000;

int usage(const char* why) {
    if (why) std::fprintf(stderr, "tmib: %s\n", why);
    std::fprintf(stderr, "usage: tmib [-l] [-o OCCURS] [-d DOMAINFILE] [-n] GET CLASS [TA_NAME=value ...]\n");
    return 2;
}

bool parse_long(const char* s, long& out) {
    if (!*s) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtol(s, &end, 10);
    return *end == '\0' && errno == 0;
}

struct Field {
    FLDID32 id;
    std::string value;
};

// Puts one TA_NAME=value into the request, converted to the field's type.
bool set_field(FBFR32* req, Field& f) {
    long n = 0;
    switch (Fldtype32(f.id)) {
        case FLD_SHORT: {
            if (!parse_long(f.value.c_str(), n) || n < SHRT_MIN || n > SHRT_MAX) return false;
            short s = static_cast<short>(n);
            return Fchg32(req, f.id, 0, reinterpret_cast<char*>(&s), 0) >= 0;
        }
        case FLD_LONG:
            if (!parse_long(f.value.c_str(), n)) return false;
            return Fchg32(req, f.id, 0, reinterpret_cast<char*>(&n), 0) >= 0;
        case FLD_CHAR:
            if (f.value.size() != 1) return false;
            return Fchg32(req, f.id, 0, f.value.data(), 0) >= 0;
        case FLD_FLOAT:
        case FLD_DOUBLE: {
            char* end = nullptr;
            double d = std::strtod(f.value.c_str(), &end);
            if (f.value.empty() || *end) return false;
            if (Fldtype32(f.id) == FLD_DOUBLE) return Fchg32(req, f.id, 0, reinterpret_cast<char*>(&d), 0) >= 0;
            float fl = static_cast<float>(d);
            return Fchg32(req, f.id, 0, reinterpret_cast<char*>(&fl), 0) >= 0;
        }
        case FLD_CARRAY:
            return Fchg32(req, f.id, 0, f.value.data(), FLDLEN32(f.value.size())) >= 0;
        default:
            return Fchg32(req, f.id, 0, f.value.data(), 0) >= 0;
    }
}

int call_failed(const char* what, FBFR32* reply) {
    const int err = tperrno;
    std::fprintf(stderr, "tmib: %s failed: tperrno %d: %s\n", what, err, tpstrerror(err));
    char status_name[] = "TA_STATUS";
    const FLDID32 status = Fldid32(status_name);
    char* text = reply && status != BADFLDID ? Ffind32(reply, status, 0, nullptr) : nullptr;
    if (text) std::fprintf(stderr, "tmib: TA_STATUS: %s\n", text);
    return 1;
}

// Joins the application: with the passwords of the files the environment
// names, cleared again once tpinit has returned. Ends the process with status
// 2 when a password file cannot be used.
bool join() {
    zcommon::JoinSecrets secrets;
    std::string unusable;
    if (!zcommon::ReadJoinSecrets(MAXTIDENT, &secrets, &unusable)) {
        std::fprintf(stderr, "tmib: %s\n", unusable.c_str());
        std::exit(2);
    }
    if (secrets.app.empty() && secrets.user.empty()) return tpinit(nullptr) != -1;
    char tpinit_type[] = "TPINIT";
    auto* info = reinterpret_cast<TPINIT*>(tpalloc(tpinit_type, nullptr, long(TPINITNEED(secrets.DataLength()))));
    if (info == nullptr) return false;
    std::snprintf(info->usrname, sizeof info->usrname, "%s", "TXWATCHER");
    std::snprintf(info->cltname, sizeof info->cltname, "%s", "tpsysadm");
    zcommon::PutJoinSecrets(secrets, info);
    const bool joined = tpinit(info) != -1;
    const int err = tperrno;
    zcommon::WipeJoinSecrets(info);
    tpfree(reinterpret_cast<char*>(info));
    tperrno = err;
    return joined;
}

}  // namespace

int main(int argc, char** argv) {
    bool local = false, follow = true;
    long occurs = 0;
    int opt;
    opterr = 0;
    while ((opt = getopt(argc, argv, "lo:d:n")) != -1) {
        switch (opt) {
            case 'l':
                local = true;
                break;
            case 'o':
                if (!parse_long(optarg, occurs) || occurs < 1) return usage("-o needs a count of at least 1");
                break;
            case 'd':
                if (!*optarg) return usage("-d needs a domain file");
                setenv("TUXSIM_DOMAIN", optarg, 1);
                break;
            case 'n':
                follow = false;
                break;
            default:
                return usage(optopt == 'o' || optopt == 'd' ? "option needs a value" : "unknown option");
        }
    }
    if (argc - optind < 2) return usage(nullptr);
    if (std::strcmp(argv[optind], "GET") != 0) return usage("the operation must be GET");
    std::string cls = argv[optind + 1];
    std::vector<Field> fields;
    for (int i = optind + 2; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (!eq || eq == argv[i]) return usage((std::string("expected TA_NAME=value, got ") + argv[i]).c_str());
        std::string name(argv[i], std::size_t(eq - argv[i]));
        const FLDID32 id = Fldid32(name.data());
        if (id == BADFLDID) return usage(("unknown field " + name).c_str());
        fields.push_back({id, eq + 1});
    }

    if (!join()) return call_failed("tpinit", nullptr);
    // Tuxedo's prototypes take plain char*: the names live in arrays.
    char fml32[] = "FML32", tmib[] = ".TMIB";
    char ta_operation[] = "TA_OPERATION", ta_more[] = "TA_MORE", ta_cursor[] = "TA_CURSOR";
    char ta_class[] = "TA_CLASS", ta_flags[] = "TA_FLAGS", ta_occurs[] = "TA_OCCURS";
    char get[] = "GET", getnext[] = "GETNEXT";
    auto* req = reinterpret_cast<FBFR32*>(tpalloc(fml32, nullptr, 0));
    char* rep = tpalloc(fml32, nullptr, 8192);
    auto leave = [&] {
        tpfree(reinterpret_cast<char*>(req));
        tpfree(rep);
        tpterm();
    };
    if (!req || !rep) {
        int rc = call_failed("tpalloc", nullptr);
        leave();
        return rc;
    }
    const FLDID32 op = Fldid32(ta_operation), more = Fldid32(ta_more), cursor = Fldid32(ta_cursor);
    Fchg32(req, op, 0, get, 0);
    Fchg32(req, Fldid32(ta_class), 0, cls.data(), 0);
    long flags = kMibLocal;
    if (local) Fchg32(req, Fldid32(ta_flags), 0, reinterpret_cast<char*>(&flags), 0);
    if (occurs) Fchg32(req, Fldid32(ta_occurs), 0, reinterpret_cast<char*>(&occurs), 0);
    for (Field& f : fields) {
        if (!set_field(req, f)) {
            leave();
            return usage(("bad value for " + std::string(Fname32(f.id)) + ": " + f.value).c_str());
        }
    }

    int rc = 0;
    // The walk ends early as the agent's does: only on a reply of no object
    // while TA_MORE says more, TA_MORE without a cursor, or more calls than
    // the first reply allows. A cursor may stay the same from reply to reply.
    zcommon::WalkRule rule;
    const FLDID32 occurs_id = Fldid32(ta_occurs);
    for (;;) {
        long len = 0;
        if (tpcall(tmib, reinterpret_cast<char*>(req), 0, &rep, &len, TPNOTRAN | TPNOCHANGE | TPSIGRSTRT) == -1) {
            rc = call_failed("tpcall", reinterpret_cast<FBFR32*>(rep));
            break;
        }
        auto* reply = reinterpret_cast<FBFR32*>(rep);
        Fprint32(reply);
        if (!follow) break;
        long left = 0;
        FLDLEN32 n = sizeof left;
        if (Fget32(reply, more, 0, reinterpret_cast<char*>(&left), &n) < 0) left = 0;
        long got = 1;  // a reply without TA_OCCURS holds one object
        n = sizeof got;
        Fget32(reply, occurs_id, 0, reinterpret_cast<char*>(&got), &n);
        char* c = Ffind32(reply, cursor, 0, nullptr);
        const zcommon::WalkRule::Next next = rule.After(got, left, c != nullptr);
        if (next == zcommon::WalkRule::Next::stop) {
            std::fprintf(stderr, "tmib: %s\n", rule.Why().c_str());
            rc = 1;
        }
        if (next != zcommon::WalkRule::Next::call) break;
        Fchg32(req, cursor, 0, c, 0);
        Fchg32(req, op, 0, getnext, 0);
    }
    std::fflush(stdout);
    leave();
    return rc;
}
