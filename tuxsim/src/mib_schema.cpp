// The one table of MIB classes and attributes.
//
// An attribute is Local when the agent reads it only with MIB_LOCAL set, and
// nothing that reads the same class without MIB_LOCAL needs it. Identity and
// key attributes (names, ids, TA_STATE, TA_LMID) stay Global in every class so
// that a GET without MIB_LOCAL still names its objects.
#include "mib_schema.hpp"

#include <array>

namespace tuxsim::detail {
namespace {

constexpr AttrSpec G(std::string_view n) { return {n, Scope::Global, Shape::Scalar}; }
constexpr AttrSpec L(std::string_view n) { return {n, Scope::Local, Shape::Scalar}; }

constexpr std::array kClient{
    G("TA_CLIENTID"),   G("TA_STATE"),      G("TA_CLTNAME"),      G("TA_USRNAME"),
    G("TA_CMTRET"),     G("TA_NADDR"),      G("TA_NOTIFY"),       G("TA_WSC"),
    G("TA_WSH"),        G("TA_LMID"),       G("TA_PID"),          G("TA_CURCONV"),
    G("TA_CURREQ"),     G("TA_CURTIME"),    G("TA_TIMESTART"),    G("TA_LASTGRP"),
    G("TA_NUMCONV"),    G("TA_NUMDEQUEUE"), G("TA_NUMENQUEUE"),   G("TA_NUMPOST"),
    G("TA_NUMSUBSCRIBE"), G("TA_NUMTRAN"),  G("TA_NUMTRANABT"),   G("TA_NUMTRANCMT"),
    G("TA_NUMUNSOL"),   G("TA_TIMELEFT"),   G("TA_TRANLEV"),      G("TA_IDLETIME"),
};

constexpr std::array kConn{
    G("TA_CLIENTID"),    G("TA_SERVICENAME"), G("TA_STATE"),       G("TA_CONNOGRPNO"),
    G("TA_CONNOLMID"),   G("TA_CONNOSRVID"),  G("TA_CONNSGRPNO"),  G("TA_CONNSLMID"),
    G("TA_CONNSSRVID"),  L("TA_CONNOPID"),    L("TA_CONNOSNDCNT"), L("TA_CONNSPID"),
    L("TA_CONNSSNDCNT"),
};

constexpr std::array kDomain{
    G("TA_STATE"),       G("TA_AUTHSVC"),      G("TA_DOMAINID"),    G("TA_MASTER"),
    G("TA_MODEL"),       G("TA_LDBAL"),        G("TA_NOTIFY"),      G("TA_SECURITY"),
    G("TA_IPCKEY"),      G("TA_SYSTEM_ACCESS"), G("TA_SCANUNIT"),   G("TA_BBLQUERY"),
    G("TA_BLOCKTIME"),   G("TA_DBBLWAIT"),     G("TA_SANITYSCAN"),  G("TA_CURDRT"),
    G("TA_HWDRT"),       G("TA_MAXDRT"),       G("TA_CURGROUPS"),   G("TA_HWGROUPS"),
    G("TA_MAXGROUPS"),   G("TA_CURMACHINES"),  G("TA_HWMACHINES"),  G("TA_MAXMACHINES"),
    G("TA_CURQUEUES"),   G("TA_HWQUEUES"),     G("TA_MAXQUEUES"),   G("TA_CURRFT"),
    G("TA_HWRFT"),       G("TA_MAXRFT"),       G("TA_CURRTDATA"),   G("TA_HWRTDATA"),
    G("TA_MAXRTDATA"),   G("TA_CURSERVERS"),   G("TA_HWSERVERS"),   G("TA_MAXSERVERS"),
    G("TA_CURSERVICES"), G("TA_HWSERVICES"),   G("TA_MAXSERVICES"), G("TA_CURSTYPE"),
    G("TA_MAXBUFSTYPE"), G("TA_CURTYPE"),      G("TA_MAXBUFTYPE"),  G("TA_MAXACLGROUPS"),
};

constexpr std::array kGroup{
    G("TA_SRVGRP"), G("TA_GRPNO"), G("TA_TMSCOUNT"), G("TA_TMSNAME"), G("TA_STATE"), G("TA_LMID"),
};

constexpr std::array kMachine{
    G("TA_LMID"),          G("TA_PMID"),          G("TA_STATE"),         G("TA_PERM"),
    G("TA_GID"),           G("TA_UID"),           G("TA_MAXACCESSERS"),  G("TA_MAXCONV"),
    G("TA_MAXGTT"),        G("TA_MAXWSCLIENTS"),  G("TA_SPINCOUNT"),     G("TA_TLOGSIZE"),
    G("TA_TMNETLOAD"),     G("TA_MAXACLCACHE"),   G("TA_APPDIR"),        G("TA_ENVFILE"),
    G("TA_ROLE"),          G("TA_TUXCONFIG"),     G("TA_TYPE"),          G("TA_ULOGPFX"),
    L("TA_CURACCESSERS"),  L("TA_HWACCESSERS"),   L("TA_CURCLIENTS"),    L("TA_HWCLIENTS"),
    L("TA_CURWSCLIENTS"),  L("TA_HWWSCLIENTS"),   L("TA_CURCONV"),       L("TA_HWCONV"),
    L("TA_CURGTT"),        L("TA_HWGTT"),         L("TA_CURRLOAD"),      L("TA_NUMCONV"),
    L("TA_NUMDEQUEUE"),    L("TA_NUMENQUEUE"),    L("TA_NUMPOST"),       L("TA_NUMSUBSCRIBE"),
    L("TA_NUMREQ"),        L("TA_NUMTRAN"),       L("TA_NUMTRANABT"),    L("TA_NUMTRANCMT"),
    L("TA_ACLCACHEHITS"),  L("TA_ACLCACHEACCESS"), L("TA_ACLFAIL"),      L("TA_WKCOMPLETED"),
    L("TA_WKINITIATED"),   L("TA_PAGESIZE"),
};

constexpr std::array kMsg{
    G("TA_MSGID"),      G("TA_LMID"),       G("TA_STATE"),      L("TA_CURTIME"),
    L("TA_MSG_STIME"),  L("TA_MSG_RTIME"),  L("TA_MSG_CTIME"),  L("TA_MSG_CBYTES"),
    L("TA_MSG_LRPID"),  L("TA_MSG_LSPID"),  L("TA_MSG_QBYTES"), L("TA_MSG_QNUM"),
};

constexpr std::array kQueue{
    G("TA_RQADDR"),     G("TA_SERVERNAME"), G("TA_LMID"),       G("TA_STATE"),
    G("TA_GRACE"),      G("TA_MAXGEN"),     G("TA_RQID"),       G("TA_SERVERCNT"),
    G("TA_CONV"),       G("TA_RCMD"),       G("TA_RESTART"),    L("TA_TOTNQUEUED"),
    L("TA_TOTWKQUEUED"), L("TA_SOURCE"),    L("TA_NQUEUED"),    L("TA_WKQUEUED"),
};

constexpr std::array kServer{
    G("TA_SRVGRP"),      G("TA_SRVID"),       G("TA_SERVERNAME"),  G("TA_GRPNO"),
    G("TA_RQADDR"),      G("TA_BASESRVID"),   G("TA_GENERATION"),  G("TA_MAXGEN"),
    G("TA_GRACE"),       G("TA_MAX"),         G("TA_MIN"),         G("TA_PID"),
    G("TA_RPID"),        G("TA_RPPERM"),      G("TA_RQID"),        G("TA_RQPERM"),
    G("TA_SEQUENCE"),    G("TA_RESTART"),     G("TA_TIMESTART"),   G("TA_TIMERESTART"),
    G("TA_STATE"),       G("TA_CLOPT"),       G("TA_CONV"),        G("TA_RCMD"),
    G("TA_REPLYQ"),      L("TA_NUMCONV"),     L("TA_CURCONV"),     L("TA_NUMDEQUEUE"),
    L("TA_NUMENQUEUE"),  L("TA_NUMPOST"),     L("TA_NUMREQ"),      L("TA_CURREQ"),
    L("TA_NUMSUBSCRIBE"), L("TA_NUMTRAN"),    L("TA_NUMTRANABT"),  L("TA_NUMTRANCMT"),
    L("TA_TOTREQC"),     L("TA_TOTWORKL"),    L("TA_CLTLMID"),     L("TA_CLTPID"),
    L("TA_CLTREPLY"),    L("TA_CMTRET"),      L("TA_CURRSERVICE"), L("TA_LASTGRP"),
    L("TA_SVCTIMEOUT"),  L("TA_TIMELEFT"),    L("TA_TRANLEV"),
};

constexpr std::array kSvcGrp{
    G("TA_SERVICENAME"), G("TA_SRVGRP"),   G("TA_GRPNO"),      G("TA_STATE"),
    G("TA_SVCTYPE"),     G("TA_LMID"),     G("TA_LOAD"),       G("TA_PRIO"),
    G("TA_SVCTIMEOUT"),  G("TA_TRANTIME"), G("TA_SRVID"),      G("TA_AUTOTRAN"),
    G("TA_BUFTYPE"),     G("TA_ROUTINGNAME"), G("TA_RQADDR"),  L("TA_NCOMPLETED"),
    L("TA_NQUEUED"),
};

constexpr std::array kTransaction{
    G("TA_COORDLMID"), G("TA_LMID"),    G("TA_TPTRANID"), G("TA_XID"),
    G("TA_STATE"),     G("TA_TIMEOUT"),
    AttrSpec{"TA_GRPCOUNT", Scope::Global, Shape::Computed},
    AttrSpec{"TA_GRPINDEX", Scope::Global, Shape::Computed},
    AttrSpec{"TA_GRPNO", Scope::Global, Shape::GroupList},
    AttrSpec{"TA_GSTATE", Scope::Global, Shape::GroupList},
};

constexpr std::array kUlog{
    G("TA_LMID"),     G("TA_PMID"),     G("TA_MMDDYY"),    G("TA_ULOGTIME"),
    G("TA_ULOGLINE"), G("TA_ULOGMSG"),  G("TA_TPTRANID"),  G("TA_XID"),
    G("TA_PID"),      G("TA_SEVERITY"), G("TA_ULOGCAT"),   G("TA_ULOGMSGNUM"),
    G("TA_ULOGPROCNM"),
};

constexpr std::array kAppq{
    G("TA_APPQNAME"),   G("TA_APPQSPACENAME"), G("TA_QMCONFIG"),   G("TA_LMID"),
    G("TA_STATE"),      G("TA_APPQORDER"),     G("TA_CMD"),        G("TA_CMDHW"),
    G("TA_CMDLW"),      G("TA_MAXRETRIES"),    G("TA_OUTOFORDER"), G("TA_RETRYDELAY"),
    G("TA_CURBLOCKS"),  G("TA_CURMSG"),
};

constexpr std::array kAppqMsg{
    G("TA_APPQMSGID"), G("TA_APPQNAME"), G("TA_APPQSPACENAME"), G("TA_QMCONFIG"),
    G("TA_LMID"),      G("TA_STATE"),    G("TA_PRIORITY"),      G("TA_TIME"),
    G("TA_CORRID"),    G("TA_CURRETRIES"), G("TA_MSGSIZE"),
};

constexpr std::array kAppqSpace{
    G("TA_APPQSPACENAME"), G("TA_QMCONFIG"),  G("TA_LMID"),      G("TA_STATE"),
    G("TA_BLOCKING"),      G("TA_ERRORQNAME"), G("TA_FORCEINIT"), G("TA_IPCKEY"),
    G("TA_MAXMSG"),        G("TA_MAXPAGES"),  G("TA_MAXPROC"),   G("TA_MAXQUEUES"),
    G("TA_MAXTRANS"),      G("TA_CUREXTENT"), G("TA_CURMSG"),    G("TA_CURPROC"),
    G("TA_CURQUEUES"),     G("TA_CURTRANS"),  G("TA_HWMSG"),     G("TA_HWPROC"),
    G("TA_HWQUEUES"),      G("TA_HWTRANS"),   G("TA_PERCENTINIT"),
};

constexpr std::array kAppqTrans{
    G("TA_XID"), G("TA_APPQSPACENAME"), G("TA_QMCONFIG"), G("TA_LMID"), G("TA_STATE"),
};

const std::array kClasses{
    ClassSpec{"T_CLIENT", ClassKind::Cursor, kClient},
    ClassSpec{"T_CONN", ClassKind::Cursor, kConn},
    ClassSpec{"T_DOMAIN", ClassKind::Cursor, kDomain},
    ClassSpec{"T_GROUP", ClassKind::Cursor, kGroup},
    ClassSpec{"T_MACHINE", ClassKind::Cursor, kMachine},
    ClassSpec{"T_MSG", ClassKind::Cursor, kMsg},
    ClassSpec{"T_QUEUE", ClassKind::Cursor, kQueue},
    ClassSpec{"T_SERVER", ClassKind::Cursor, kServer},
    ClassSpec{"T_SVCGRP", ClassKind::Cursor, kSvcGrp},
    ClassSpec{"T_TRANSACTION", ClassKind::Cursor, kTransaction},
    ClassSpec{"T_ULOG", ClassKind::UserLog, kUlog},
    ClassSpec{"T_APPQ", ClassKind::QueueSpace, kAppq},
    ClassSpec{"T_APPQMSG", ClassKind::QueueSpace, kAppqMsg},
    ClassSpec{"T_APPQSPACE", ClassKind::QueueSpace, kAppqSpace},
    ClassSpec{"T_APPQTRANS", ClassKind::QueueSpace, kAppqTrans},
};

}  // namespace

const AttrSpec* ClassSpec::find(std::string_view attr) const {
    for (const AttrSpec& a : attrs) {
        if (a.name == attr) return &a;
    }
    return nullptr;
}

std::span<const ClassSpec> all_classes() { return kClasses; }

const ClassSpec* find_class(std::string_view name) {
    for (const ClassSpec& c : kClasses) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

}  // namespace tuxsim::detail
