// ATMI: joining and leaving the simulated application, service calls to
// ".TMIB", and the error of the last call.
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "atmi.h"
#include "buffers.hpp"
#include "fml32.h"
#include "fml_internal.h"
#include "fml_values.hpp"
#include "printable.h"
#include "sim.hpp"
#include "tperrno_table.hpp"
#include "tuxsim_fml.h"

#ifndef TUXSIM_DEFAULT_DOMAIN
#define TUXSIM_DEFAULT_DOMAIN "tuxsim/domains/demo.yaml"
#endif

namespace tuxsim::detail {

// The process's one simulated domain. Never destroyed: exit handlers of the
// program (an agent leaving the application from atexit) may still call
// tpterm after static destructors have run.
Sim& sim() {
    static Sim* instance = new Sim;
    return *instance;
}

void Sim::read_env_faults() {
    if (env_faults_read) return;
    env_faults_read = true;
    const char* env = std::getenv("TUXSIM_FAULTS");
    if (!env) return;
    FaultList list;
    std::string err = parse_faults(env, list);
    if (!err.empty()) {
        env_faults_error = "TUXSIM_FAULTS: " + err;
        return;
    }
    faults.install(list, now());
}

// Parsing a domain file builds a document many times the size of the
// domain, freed once the objects are made; the heap keeps that memory unless
// told to hand it back, so a process that loaded a large domain would go on
// holding it.
static void release_freed_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

std::string Sim::ensure_domain() {
    if (domain) return {};
    std::string path = domain_override;
    if (path.empty()) {
        const char* env = std::getenv("TUXSIM_DOMAIN");
        path = env && *env ? env : fml::first_existing_file(TUXSIM_DEFAULT_DOMAIN);
    }
    try {
        domain = open_domain(path);
    } catch (const DomainError& e) {
        release_freed_memory();
        return e.what();
    }
    release_freed_memory();
    loaded_once = true;
    faults.install(domain->faults, now());
    activity.start(*domain);
    mib.clear();
    apply_quirks();
    return {};
}

void Sim::apply_quirks() {
    const QuirkMasks q = quirks_set ? *quirks_set : domain ? domain->quirks : QuirkMasks{};
    mib.quirks(q);
    tuxsim_Fvstrict32(q.strict_views ? 1 : 0);
}

void Sim::leave() {
    if (joined && domain) {
        ObjectList& clients = domain->lists.edit(domain->index("T_CLIENT"));
        std::erase_if(clients, [&](const ObjectPtr& o) { return o->text(domain->f.clientid) == own_client; });
    }
    joined = false;
    own_client.clear();
}

void Sim::tell_refusal(const std::string& reason) {
    if (!refusals_told.insert(reason).second) return;
    std::fprintf(stderr, "%s\n", zcommon::Printable(reason, zcommon::kPrintableLine).c_str());
    std::fflush(stderr);
}

int sim_count_call(Call fn) {
    Sim& s = sim();
    std::lock_guard lock(s.mu);
    s.read_env_faults();
    return s.faults.on_call(fn);
}

namespace {

// A TPINIT text field, read no further than the field itself.
std::string tpinit_text(const char* field) { return std::string(field, strnlen(field, MAXTIDENT + 2)); }

int failed(int err) {
    tperrno = err;
    return -1;
}

const char* ta_error_name(long code) {
    switch (code) {
        case TAOK: return "OK";
        case TAEAPP: return "TAEAPP";
        case TAECONFIG: return "TAECONFIG";
        case TAEINVAL: return "TAEINVAL";
        case TAEOS: return "TAEOS";
        case TAEPERM: return "TAEPERM";
        case TAEPREIMAGE: return "TAEPREIMAGE";
        case TAEPROTO: return "TAEPROTO";
        case TAEREQUIRED: return "TAEREQUIRED";
        case TAESUPPORT: return "TAESUPPORT";
        case TAESYSTEM: return "TAESYSTEM";
        case TAEUNIQ: return "TAEUNIQ";
        default: return "TAE_UNKNOWN";
    }
}

// Adds this process's own T_CLIENT entry (lock held, domain loaded).
void join(Sim& s, const TPINIT* info, std::time_t now) {
    Domain& d = *s.domain;
    const MibFields& f = d.f;
    const long pid = long(getpid());
    auto me = std::make_shared<Object>();
    s.own_client = "CLT." + d.local_lmid + "." + std::to_string(pid) + "." + std::to_string(++s.client_serial);
    me->set_text(f.clientid, s.own_client);
    me->set_text(f.state, "ACTive");
    me->set_text(f.usrname, info ? tpinit_text(info->usrname) : "");
    me->set_text(f.cltname, info ? tpinit_text(info->cltname) : "");
    me->set_text(f.wsc, "N");
    me->set_text(f.wsh, "N");
    me->set_num(f.pid, pid);
    me->set_text(f.lmid, d.local_lmid);
    me->set_num(f.timestart, long(now));
    me->set_num(f.curtime, long(now));
    for (const char* name : {"TA_CMTRET", "TA_NOTIFY", "TA_NADDR"}) {
        const FLDID32 id = field_id(name);
        const char* value = std::strcmp(name, "TA_CMTRET") == 0 ? "COMPLETE"
                            : std::strcmp(name, "TA_NOTIFY") == 0 ? "DIPIN"
                                                                  : "";
        if (id != BADFLDID) me->set_text(id, value);
    }
    d.lists.edit(d.index("T_CLIENT")).push_back(std::move(me));
    s.joined = true;
}

// Whether the n bytes at p, up to their first NUL, are the password `want`;
// the client's copy is compared where it lies, never copied.
bool same_password(const char* p, std::size_t n, const std::string& want) {
    const std::size_t len = strnlen(p, n);
    return len == want.size() && std::memcmp(p, want.data(), len) == 0;
}

// Whether the domain's security admits the join: 0, or the tperrno to fail
// with (lock held, domain loaded). The passwords compare whole: passwd up to
// its NUL within the field, the user's password as the variable data up to
// datalen or its first NUL.
int admitted(const Domain& d, const TPINIT* info) {
    const SecuritySettings& sec = d.security;
    if (sec.level == SecurityLevel::None) return 0;
    if (info == nullptr || !same_password(info->passwd, sizeof info->passwd, sec.app_password)) return TPEPERM;
    if (sec.level == SecurityLevel::AppPw) return 0;
    const auto user = sec.users.find(tpinit_text(info->usrname));
    if (user == sec.users.end() || info->datalen <= 0) return TPEPERM;
    // The variable data must lie inside the TPINIT buffer tpalloc made.
    BufferInfo buf;
    const long data_at = static_cast<long>(offsetof(TPINIT, data));
    if (!buffer_info(reinterpret_cast<const char*>(info), buf) || buf.type != "TPINIT" ||
        info->datalen > buf.size - data_at) {
        return TPEINVAL;
    }
    const char* data = reinterpret_cast<const char*>(info) + data_at;
    return same_password(data, static_cast<std::size_t>(info->datalen), user->second) ? 0 : TPEPERM;
}

constexpr long kCallFlags = TPNOTRAN | TPNOCHANGE | TPSIGRSTRT | TPNOBLOCK | TPNOTIME;

}  // namespace
}  // namespace tuxsim::detail

using namespace tuxsim::detail;

extern "C" int* tuxsim_tperrno_addr(void) {
    thread_local int err = 0;
    return &err;
}

extern "C" char* tpstrerror(int err) { return const_cast<char*>(tperrno_text(err)); }

extern "C" int tpinit(TPINIT* tpinfo) {
    Sim& s = sim();
    std::lock_guard lock(s.mu);
    s.read_env_faults();
    if (int err = s.faults.on_call(tuxsim::Call::tpinit)) return failed(err);
    if (!s.env_faults_error.empty()) {
        s.tell_refusal(s.env_faults_error);
        return failed(TPESYSTEM);
    }
    // A client that is already joined stays joined: like Tuxedo, a second
    // tpinit succeeds and adds no second entry.
    if (s.joined) return 0;
    if (std::string err = s.ensure_domain(); !err.empty()) {
        s.tell_refusal(err);
        if (!s.loaded_once && s.domain_override.empty()) {
            // TUXSIM_DOMAIN names no usable domain file at the process's
            // first join: a configuration mistake, not a domain that is down,
            // so the process ends here with status 2 rather than retrying
            // for ever. _Exit: the exit handlers would call back into the
            // stand-in, whose lock this call holds.
            std::fflush(nullptr);
            std::_Exit(2);
        }
        return failed(TPESYSTEM);
    }
    const std::time_t now = s.now();
    if (s.faults.down(now)) return failed(TPESYSTEM);
    if (int err = admitted(*s.domain, tpinfo)) return failed(err);
    s.activity.advance(*s.domain, now, s.own_client);
    join(s, tpinfo, now);
    return 0;
}

extern "C" int tpterm(void) {
    Sim& s = sim();
    std::lock_guard lock(s.mu);
    // Leaving when not joined is not an error, as in Tuxedo.
    s.leave();
    return 0;
}

namespace {

// A call to a service under the stand-in's lock; `cost_us` gets the wall
// time the call is to take (the domain's call_cost_us, for ".TMIB").
int call_locked(char* svc, char* idata, char** odata, long* olen, long flags, long& cost_us) {
    Sim& s = sim();
    std::lock_guard lock(s.mu);
    s.read_env_faults();
    const int injected = s.faults.on_call(tuxsim::Call::tpcall);

    BufferInfo in, out;
    const bool tmib = svc && std::strcmp(svc, ".TMIB") == 0;
    if (tmib && s.domain) cost_us = s.domain->call_cost_us;
    // Every call to ".TMIB" with a readable request is recorded, with how it
    // ended, when a record is wanted.
    const bool record = tmib && s.recorder.wanted() && buffer_info(idata, in) && in.type == "FML32";
    tuxsim::Request rec;
    if (record) rec = describe_request(reinterpret_cast<FBFR32*>(idata));
    auto finish = [&](int err, const char* outcome = nullptr) {
        if (record) {
            rec.outcome = outcome ? outcome : tperrno_name(err);
            s.recorder.add(rec);
        }
        return err ? failed(err) : 0;
    };

    if (injected) return finish(injected);
    if (!svc || !idata || !odata || !*odata || !olen || (flags & ~kCallFlags) != 0) return finish(TPEINVAL);
    if (!s.joined) return finish(TPEPROTO);
    if (!tmib) return failed(TPENOENT);
    if (!buffer_info(idata, in)) return finish(TPEINVAL);
    if (in.type != "FML32") return finish(TPEITYPE);
    if (!buffer_info(*odata, out)) return finish(TPEINVAL);
    if (out.type != "FML32") {
        if (flags & TPNOCHANGE) return finish(TPEOTYPE);
        char* fresh = buffer_alloc_fml32(0);
        if (!fresh) return finish(TPEOS);
        tpfree(*odata);
        *odata = fresh;
    }
    const std::time_t now = s.now();
    if (s.faults.down(now)) return finish(TPESYSTEM);
    s.activity.advance(*s.domain, now, s.own_client);

    const long result = s.mib.serve(*s.domain, reinterpret_cast<FBFR32*>(idata), odata, now);
    if (result == Mib::kNoBuffer) return finish(TPEOS);
    *olen = Fused32(reinterpret_cast<FBFR32*>(*odata));
    if (result != TAOK) return finish(TPESVCFAIL, ta_error_name(result));
    return finish(0, "OK");
}

}  // namespace

extern "C" int tpcall(char* svc, char* idata, long ilen, char** odata, long* olen, long flags) {
    (void)ilen;  // an FML32 buffer knows its own length
    long cost_us = 0;
    const int result = call_locked(svc, idata, odata, olen, flags, cost_us);
    // The round trip an IPC call would take: the caller waits, without the
    // stand-in's lock and without using CPU. tperrno is the thread's own.
    if (cost_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(cost_us));
    return result;
}
