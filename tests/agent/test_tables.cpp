// Checks the twenty table descriptions against the documented tables, the
// view files against the descriptions, and the MIB field table against both.
//
// The expected columns below are written out independently of include/tables:
// a typo in a description (a name, a width, a binding, a missing column) shows
// up here as a mismatch instead of as a silently wrong row.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ascii.h"
#include "zta_fields.h"
#include "zta_tables.h"

namespace {

struct ExpectedColumn {
    std::string name;
    unsigned width = 0;  // 0 for an integer column
    std::string attribute;
};

struct ExpectedTable {
    const char* upper;
    unsigned row_size;
    // Space-separated columns: "name" is an integer, "name:N" text of width N,
    // "=TA_X" the MIB attribute the column is bound to (or read from).
    const char* columns;
};

// The twenty tables in loader order.
const ExpectedTable kExpected[] = {
    {"TXCLIENTS", 352,
     "originnode:64 sampleno rowno samp_tm:16 clientid:78=TA_CLIENTID "
     "state:10=TA_STATE clientname:30=TA_CLTNAME commitctl:10=TA_CMTRET "
     "netaddr:78=TA_NADDR notifymeth:8=TA_NOTIFY username:30=TA_USRNAME "
     "workstclnt:2=TA_WSC worksthdlr:2=TA_WSH lmid:16=TA_LMID"},
    {"TXCSTATS", 312,
     "originnode:64 sampleno rowno samp_tm:16 clientid:78=TA_CLIENTID "
     "currconv=TA_CURCONV currreq=TA_CURREQ elaptime elapmin elaphr "
     "lastgrp=TA_LASTGRP convct=TA_NUMCONV deqct=TA_NUMDEQUEUE "
     "enqct=TA_NUMENQUEUE postct=TA_NUMPOST subsrbct=TA_NUMSUBSCRIBE "
     "transct=TA_NUMTRAN transabtct=TA_NUMTRANABT pctransabt "
     "transcmtct=TA_NUMTRANCMT umsgct=TA_NUMUNSOL procid=TA_PID "
     "timeleft=TA_TIMELEFT translvl=TA_TRANLEV idletime=TA_IDLETIME idlemins "
     "zattrib:30 zvalue:30"},
    {"TXCONV", 308,
     "originnode:64 sampleno rowno samp_tm:16 clientid:78=TA_CLIENTID "
     "servname:15=TA_SERVICENAME origingrpn=TA_CONNOGRPNO "
     "originlmid:16=TA_CONNOLMID originprid=TA_CONNOPID "
     "originsdct=TA_CONNOSNDCNT originsvid=TA_CONNOSRVID "
     "subsrvgrp=TA_CONNSGRPNO sublmid:16=TA_CONNSLMID subprid=TA_CONNSPID "
     "subsdct=TA_CONNSSNDCNT subsvid=TA_CONNSSRVID zattrib:30 zvalue:30"},
    {"TXDOMCFG", 300,
     "originnode:64 sampleno rowno samp_tm:16 dmclass:16=TA_CLASS "
     "state:8=TA_STATE appauthsrv:15=TA_AUTHSVC domid:30=TA_DOMAINID "
     "mstrlmid:16=TA_MASTER modelcfg:3=TA_MODEL loadbal:2=TA_LDBAL "
     "defltnmeth:6=TA_NOTIFY appsectype:16=TA_SECURITY ipckey=TA_IPCKEY "
     "sysaccess:16=TA_SYSTEM_ACCESS scanunittm=TA_SCANUNIT "
     "bblqryspan=TA_BBLQUERY blocktime=TA_BLOCKTIME dbblwait=TA_DBBLWAIT "
     "sanityscan=TA_SANITYSCAN zattrib:30 zvalue:30"},
    {"TXBBLCFG", 304,
     "originnode:64 sampleno rowno samp_tm:16 routingct=TA_CURDRT pctrttable "
     "hwrttable=TA_HWDRT maxrttable=TA_MAXDRT currgrps=TA_CURGROUPS pctgrps "
     "hwgrps=TA_HWGROUPS maxsrvgrps=TA_MAXGROUPS currmach=TA_CURMACHINES "
     "pctmach hwmach=TA_HWMACHINES maxmach=TA_MAXMACHINES "
     "currques=TA_CURQUEUES pctques hwques=TA_HWQUEUES maxques=TA_MAXQUEUES "
     "currrtrng=TA_CURRFT pctrtrng hwrtrng=TA_HWRFT maxrtrng=TA_MAXRFT "
     "currstrpsz=TA_CURRTDATA pctstrpsz hwstrpsz=TA_HWRTDATA "
     "maxstrpsz=TA_MAXRTDATA currserv=TA_CURSERVERS pctserv "
     "hwserv=TA_HWSERVERS maxserv=TA_MAXSERVERS currservic=TA_CURSERVICES "
     "pctservic hwservic=TA_HWSERVICES maxservic=TA_MAXSERVICES "
     "currbblst=TA_CURSTYPE pctbblst maxst=TA_MAXBUFSTYPE currbbltp=TA_CURTYPE "
     "pctbbltp maxbbltp=TA_MAXBUFTYPE maxaclgrps=TA_MAXACLGROUPS zattrib:30 "
     "zvalue:30"},
    {"TXSVRGRP", 240,
     "originnode:64 sampleno rowno samp_tm:16 srvgrp:30=TA_SRVGRP "
     "grpno=TA_GRPNO tmscount=TA_TMSCOUNT tmsname:78=TA_TMSNAME "
     "state:16=TA_STATE lmid:16=TA_LMID"},
    {"TXMCONF", 600,
     "originnode:64 sampleno rowno samp_tm:16 perm=TA_PERM gid=TA_GID "
     "uid=TA_UID maxaccess=TA_MAXACCESSERS maxconv=TA_MAXCONV maxgtt=TA_MAXGTT "
     "maxwsclnt=TA_MAXWSCLIENTS spincount=TA_SPINCOUNT tlogsize=TA_TLOGSIZE "
     "tmnetload=TA_TMNETLOAD maxaclc=TA_MAXACLCACHE tmclass:16=TA_CLASS "
     "state:16=TA_STATE appdir:78=TA_APPDIR envfile:78=TA_ENVFILE "
     "pmid:30=TA_PMID role:16=TA_ROLE tuxconfig:64=TA_TUXCONFIG "
     "mtype:16=TA_TYPE ulogpfx:78=TA_ULOGPFX lmid:16=TA_LMID zattrib:30 "
     "zvalue:30"},
    {"TXMSTATS", 308,
     "originnode:64 sampleno rowno samp_tm:16 lmid:16=TA_LMID "
     "curaccess=TA_CURACCESSERS pctaccess maxaccess=TA_MAXACCESSERS "
     "hwaccesser=TA_HWACCESSERS curclients=TA_CURCLIENTS "
     "hwclients=TA_HWCLIENTS curwsclnts=TA_CURWSCLIENTS pctwsclnt "
     "maxwsclnt=TA_MAXWSCLIENTS hwwsclnts=TA_HWWSCLIENTS curconv=TA_CURCONV "
     "pctconv maxconv=TA_MAXCONV hwconv=TA_HWCONV curgtt=TA_CURGTT pctgtt "
     "maxgtt=TA_MAXGTT hwgtt=TA_HWGTT currload=TA_CURRLOAD numconv=TA_NUMCONV "
     "numdequeue=TA_NUMDEQUEUE numenqueue=TA_NUMENQUEUE numpost=TA_NUMPOST "
     "nmsubscrib=TA_NUMSUBSCRIBE numreq=TA_NUMREQ numtran=TA_NUMTRAN "
     "numtranabt=TA_NUMTRANABT pcttranabt numtrancmt=TA_NUMTRANCMT "
     "aclchits=TA_ACLCACHEHITS aclcaccess=TA_ACLCACHEACCESS aclfail=TA_ACLFAIL "
     "wkcomplet=TA_WKCOMPLETED wkinitiate=TA_WKINITIATED dskpagesz=TA_PAGESIZE "
     "tbxtuxcon zattrib:30 zvalue:30"},
    {"TXSYSMQ", 176,
     "originnode:64 sampleno rowno msgid=TA_MSGID curtime:16 msgstime:16 "
     "msgrtime:16 cbytes=TA_MSG_CBYTES ctime:16 lrpid=TA_MSG_LRPID "
     "lspid=TA_MSG_LSPID qbytes=TA_MSG_QBYTES qnum=TA_MSG_QNUM lmid:16=TA_LMID"},
    {"TXSVRQ", 328,
     "originnode:64 sampleno rowno samp_tm:16 grace=TA_GRACE maxgen=TA_MAXGEN "
     "rqid=TA_RQID servercnt=TA_SERVERCNT state:16=TA_STATE conv:2=TA_CONV "
     "rcmd:78=TA_RCMD restart:2=TA_RESTART rqaddr:30=TA_RQADDR "
     "servername:78=TA_SERVERNAME lmid:16=TA_LMID"},
    {"TXQLOAD", 260,
     "originnode:64 sampleno rowno timestamp:16 servernm:78=TA_SERVERNAME "
     "totnqueued=TA_TOTNQUEUED totwkqd=TA_TOTWKQUEUED source:16=TA_SOURCE "
     "nqueued=TA_NQUEUED wkqueued=TA_WKQUEUED zattrib:30 zvalue:30"},
    {"TXSERVER", 672,
     "originnode:64 sampleno rowno timestamp:16 servernm:78=TA_SERVERNAME "
     "srvgrp:30=TA_SRVGRP rqaddr:30=TA_RQADDR basesrvid=TA_BASESRVID "
     "srvid=TA_SRVID generation=TA_GENERATION maxgen=TA_MAXGEN grace=TA_GRACE "
     "grpno=TA_GRPNO max=TA_MAX min=TA_MIN pid=TA_PID rpid=TA_RPID "
     "rpperm=TA_RPPERM rqid=TA_RQID rqperm=TA_RQPERM sequence=TA_SEQUENCE "
     "restart:2=TA_RESTART timestart:16 timerestrt:16 state:16=TA_STATE "
     "clopt:256=TA_CLOPT conv:2=TA_CONV rcmd:78=TA_RCMD replyq:2=TA_REPLYQ"},
    {"TXSRVSTAT", 312,
     "originnode:64 sampleno rowno timestamp:16 srvid=TA_SRVID "
     "srvgrp:30=TA_SRVGRP grpno=TA_GRPNO numconv=TA_NUMCONV "
     "currconv=TA_CURCONV numdequeue=TA_NUMDEQUEUE numenqueue=TA_NUMENQUEUE "
     "numpost=TA_NUMPOST numreq=TA_NUMREQ curreq=TA_CURREQ "
     "numsubsc=TA_NUMSUBSCRIBE numtran=TA_NUMTRAN numtranabt=TA_NUMTRANABT "
     "numtrancmt=TA_NUMTRANCMT totreqc=TA_TOTREQC totworkl=TA_TOTWORKL "
     "cltlmid:16=TA_CLTLMID cltpid=TA_CLTPID cltreply:2=TA_CLTREPLY "
     "cmtret:16=TA_CMTRET currsvc:16=TA_CURRSERVICE lastgrp=TA_LASTGRP "
     "svctimeout=TA_SVCTIMEOUT timeleft=TA_TIMELEFT tranlev=TA_TRANLEV "
     "zattrib:30 zvalue:30"},
    {"TXSVCGRP", 520,
     "originnode:64 sampleno rowno timestamp:16 servicenm:16=TA_SERVICENAME "
     "svcgrp:30=TA_SRVGRP grpno=TA_GRPNO state:16=TA_STATE "
     "svctype:16=TA_SVCTYPE lmid:16=TA_LMID load=TA_LOAD prio=TA_PRIO "
     "svctimeout=TA_SVCTIMEOUT trantime=TA_TRANTIME srvid=TA_SRVID "
     "autotran:2=TA_AUTOTRAN buftype:256=TA_BUFTYPE "
     "routingnm:15=TA_ROUTINGNAME rqaddr:30=TA_RQADDR ncompleted=TA_NCOMPLETED "
     "nqueued=TA_NQUEUED"},
    {"TXTRANSACT", 324,
     "originnode:64 sampleno rowno timestamp:16 coordlmid:16=TA_COORDLMID "
     "lmid:16=TA_LMID tptranid:78=TA_TPTRANID xid:78=TA_XID state:16=TA_STATE "
     "timeout=TA_TIMEOUT grpcount=TA_GRPCOUNT grpindex=TA_GRPINDEX "
     "grpno=TA_GRPNO gstate:16=TA_GSTATE"},
    {"TXULOGS", 668,
     "originnode:64 sampleno rowno timestamp:16 lmid:16=TA_LMID "
     "pmid:30=TA_PMID ulog_tm:16 ulogline=TA_ULOGLINE ulogmsg:256=TA_ULOGMSG "
     "tranid:78=TA_TPTRANID xid:78=TA_XID pid=TA_PID severity:30=TA_SEVERITY "
     "ulogcat:30=TA_ULOGCAT ulogmsgnum=TA_ULOGMSGNUM "
     "ulogprocnm:30=TA_ULOGPROCNM"},
    {"TXAPPQ", 404,
     "originnode:64 sampleno rowno timestamp:16 appqnm:16=TA_APPQNAME "
     "appspcnm:16=TA_APPQSPACENAME qmconfg:78=TA_QMCONFIG lmid:30=TA_LMID "
     "state:16=TA_STATE qorder:16=TA_APPQORDER cmd:78=TA_CMD cmdhw:16=TA_CMDHW "
     "cmdlw:16=TA_CMDLW maxrtry=TA_MAXRETRIES outofordr:16=TA_OUTOFORDER "
     "retrydly=TA_RETRYDELAY curblks=TA_CURBLOCKS curmsg=TA_CURMSG"},
    {"TXQMSG", 336,
     "originnode:64 sampleno rowno timestamp:16 appqmsgid:32=TA_APPQMSGID "
     "appqnm:16=TA_APPQNAME appspcnm:16=TA_APPQSPACENAME "
     "qmconfig:78=TA_QMCONFIG lmid:30=TA_LMID state:16=TA_STATE "
     "priority=TA_PRIORITY qtime:16=TA_TIME corrid:32=TA_CORRID "
     "curretry=TA_CURRETRIES msgsize=TA_MSGSIZE"},
    {"TXQSPCS", 360,
     "originnode:64 sampleno rowno timestamp:16 appspcnm:16=TA_APPQSPACENAME "
     "qmconfg:78=TA_QMCONFIG lmid:30=TA_LMID state:16=TA_STATE "
     "blocking=TA_BLOCKING errqnm:16=TA_ERRORQNAME forceinit:16=TA_FORCEINIT "
     "ipckey=TA_IPCKEY maxmsg=TA_MAXMSG maxpages=TA_MAXPAGES "
     "maxproc=TA_MAXPROC maxqueues=TA_MAXQUEUES maxtrans=TA_MAXTRANS "
     "curextent=TA_CUREXTENT curmsg=TA_CURMSG curproc=TA_CURPROC "
     "curqueues=TA_CURQUEUES curtrans=TA_CURTRANS pctcurmsg pctcurproc pctcurq "
     "pctcurtran hwmsg=TA_HWMSG hwproc=TA_HWPROC hwqueues=TA_HWQUEUES "
     "hwtrans=TA_HWTRANS pcthwmsg pcthwproc pcthwq pcthwtrans "
     "pctinit=TA_PERCENTINIT"},
    {"TXQTRAN", 308,
     "originnode:64 sampleno rowno timestamp:16 xid:78=TA_XID "
     "appspcnm:16=TA_APPQSPACENAME qmconfig:78=TA_QMCONFIG lmid:30=TA_LMID "
     "state:16=TA_STATE"},

};

std::vector<ExpectedColumn> ParseExpected(const char* text) {
    std::vector<ExpectedColumn> out;
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        ExpectedColumn c;
        if (auto eq = token.find('='); eq != std::string::npos) {
            c.attribute = token.substr(eq + 1);
            token.resize(eq);
        }
        if (auto colon = token.find(':'); colon != std::string::npos) {
            c.width = static_cast<unsigned>(std::stoul(token.substr(colon + 1)));
            token.resize(colon);
        }
        c.name = token;
        out.push_back(c);
    }
    return out;
}

// Integer and text columns across the documented tables.
struct TypeCounts {
    unsigned integers = 0;
    unsigned texts = 0;
};

TypeCounts ExpectedTypeCounts() {
    TypeCounts counts;
    for (const ExpectedTable& t : kExpected) {
        for (const ExpectedColumn& c : ParseExpected(t.columns)) (c.width == 0 ? counts.integers : counts.texts) += 1;
    }
    return counts;
}

using zcommon::ToLower;
using zcommon::ToUpper;

std::string ViewName(int number) {
    const std::string digits = std::to_string(number);
    return "txview" + std::string(digits.size() < 2 ? 1 : 0, '0') + digits;
}

TEST(TableDescriptions, TablesInLoaderOrderWithTheirViews) {
    ASSERT_EQ(zta::kNumTables, std::size(kExpected));
    for (std::size_t i = 0; i < zta::kNumTables; ++i) {
        const zta::TableMeta& t = zta::kTables[i];
        SCOPED_TRACE(kExpected[i].upper);
        EXPECT_EQ(t.number, static_cast<int>(i) + 1);
        EXPECT_STREQ(t.upper, kExpected[i].upper);
        EXPECT_EQ(t.name, ToLower(kExpected[i].upper));
        // A view is named after its table's number (which tables have one:
        // ViewFiles below, against the files shipped).
        if (*t.view != '\0') {
            EXPECT_EQ(t.view, ViewName(t.number));
        }
        EXPECT_EQ(zta::FindTable(t.upper), &t);
        EXPECT_EQ(zta::FindTable(t.name), &t);
    }
    EXPECT_EQ(zta::FindTable("TXNOSUCH"), nullptr);
    EXPECT_EQ(zta::FindTable("TxClients"), nullptr);
    EXPECT_EQ(zta::FindTable(""), nullptr);
}

TEST(TableDescriptions, ColumnsNamesOrderOffsetsWidthsAndBindings) {
    for (std::size_t i = 0; i < zta::kNumTables; ++i) {
        const zta::TableMeta& t = zta::kTables[i];
        SCOPED_TRACE(t.upper);
        const std::vector<ExpectedColumn> expected = ParseExpected(kExpected[i].columns);
        ASSERT_EQ(t.num_columns, expected.size());
        unsigned offset = 0;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            const ExpectedColumn& e = expected[k];
            const zta::ColumnMeta& c = t.columns[k];
            SCOPED_TRACE(e.name);
            // Layout rules of the row records: text N takes N bytes, an integer is
            // aligned to 4.
            if (e.width == 0) offset = (offset + 3) / 4 * 4;
            EXPECT_EQ(c.name, e.name);
            EXPECT_EQ(c.upper, ToUpper(e.name));
            EXPECT_EQ(c.offset, offset);
            EXPECT_EQ(c.size, e.width == 0 ? 4u : e.width);
            EXPECT_EQ(c.type, e.width == 0 ? zta::kColumnTypeInteger : zta::kColumnTypeText);
            EXPECT_EQ(c.attribute, e.attribute);
            offset += e.width == 0 ? 4 : e.width;
        }
        EXPECT_EQ((offset + 3) / 4 * 4, kExpected[i].row_size);
        EXPECT_EQ(t.row_size, kExpected[i].row_size);
    }
}

TEST(TableDescriptions, ColumnCountsPerType) {
    unsigned total = 0, integers = 0, texts = 0;
    for (const zta::TableMeta& t : zta::kTables) {
        for (unsigned k = 0; k < t.num_columns; ++k) {
            ++total;
            (t.columns[k].type == zta::kColumnTypeInteger ? integers : texts) += 1;
        }
    }
    const TypeCounts expected = ExpectedTypeCounts();
    EXPECT_EQ(total, expected.integers + expected.texts);
    EXPECT_EQ(integers, expected.integers);
    EXPECT_EQ(texts, expected.texts);
}

TEST(TableDescriptions, EveryRecordStartsWithTheLeadingColumns) {
    for (const zta::TableMeta& t : zta::kTables) {
        SCOPED_TRACE(t.upper);
        const zta::ColumnMeta* c = t.columns;
        EXPECT_STREQ(c[0].name, "originnode");
        EXPECT_EQ(c[0].offset, 0);
        EXPECT_EQ(c[0].size, 64);
        EXPECT_EQ(c[0].type, zta::kColumnTypeText);
        EXPECT_STREQ(c[1].name, "sampleno");
        EXPECT_EQ(c[1].offset, 64);
        EXPECT_EQ(c[1].type, zta::kColumnTypeInteger);
        EXPECT_STREQ(c[2].name, "rowno");
        EXPECT_EQ(c[2].offset, 68);
        if (std::string_view(t.upper) == "TXSYSMQ") {
            EXPECT_STREQ(c[3].name, "msgid");
            EXPECT_EQ(c[3].type, zta::kColumnTypeInteger);
        } else {
            EXPECT_TRUE(std::string_view(c[3].name) == "samp_tm" ||
                        std::string_view(c[3].name) == "timestamp");
            EXPECT_EQ(c[3].size, 16);
        }
        EXPECT_EQ(c[3].offset, 72);
    }
}

TEST(TableDescriptions, DescriptionsExpandAgainWithOtherMacros) {
    std::vector<std::string> texts;
#define ZTA_TEXT(column, upper, width, attribute, pad, role) texts.push_back(#column);
#include "tables/txclients.def"
    // The description undefined ZTA_TEXT at its end: this second expansion sees
    // only the new ZTA_INT.
    unsigned integers = 0;
#define ZTA_INT(column, upper, attribute, role) ++integers;
#include "tables/zta_tables.def"
    EXPECT_EQ(texts.size(), 12u);
    EXPECT_EQ(texts.front(), "originnode");
    EXPECT_EQ(integers, ExpectedTypeCounts().integers);
}

TEST(TableDescriptions, RowRecordsAreTheDescribedColumns) {
    // The records are what the framework copies; their members must sit where
    // the metadata says.
    EXPECT_EQ(sizeof(zta_txclients_data_t), 352u);
    EXPECT_EQ(offsetof(zta_txclients_data_t, clientid), 88u);
    EXPECT_EQ(sizeof(zta_txclients_data_t::clientid), 78u);
    EXPECT_EQ(offsetof(zta_txsvcgrp_data_t, routingnm) + 15, offsetof(zta_txsvcgrp_data_t, rqaddr));
    EXPECT_EQ(offsetof(zta_txsvcgrp_data_t, ncompleted) % 4, 0u);
    EXPECT_EQ(sizeof(zta_txsysmq_data_t), 176u);
    EXPECT_EQ(sizeof(zta_txqtran_data_t), 308u);
}

// ---- View files -------------------------------------------------------------

struct ViewMember {
    std::string type, cname, fbname, count, flag, size, null;
};

struct ViewFile {
    std::string name;
    std::vector<ViewMember> members;
    bool ended = false;
    std::string error;
};

// Reads a view source file: "#" comments and blank lines, "VIEW name", one
// line of seven fields per member, "END".
ViewFile ReadView(const std::filesystem::path& path) {
    ViewFile view;
    std::ifstream in(path);
    if (!in) {
        view.error = "cannot open " + path.string();
        return view;
    }
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        if (f.empty() || f[0][0] == '#') continue;
        if (view.ended) {
            view.error = "text after END at line " + std::to_string(lineno);
        } else if (f[0] == "VIEW" && f.size() == 2 && view.name.empty()) {
            view.name = f[1];
        } else if (f[0] == "END" && f.size() == 1 && !view.name.empty()) {
            view.ended = true;
        } else if (f.size() == 7 && !view.name.empty()) {
            view.members.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
        } else {
            view.error = "unexpected line " + std::to_string(lineno) + ": " + line;
        }
        if (!view.error.empty()) break;
    }
    return view;
}

TEST(ViewFiles, EachViewDescribesItsRecordExactly) {
    for (const zta::TableMeta& t : zta::kTables) {
        if (t.view[0] == '\0') continue;
        SCOPED_TRACE(t.view);
        const ViewFile view = ReadView(std::filesystem::path(PROJECT_VIEWS_DIR) / t.view);
        ASSERT_EQ(view.error, "");
        EXPECT_TRUE(view.ended);
        EXPECT_EQ(view.name, t.view);
        ASSERT_EQ(view.members.size(), t.num_columns);
        for (unsigned k = 0; k < t.num_columns; ++k) {
            const zta::ColumnMeta& c = t.columns[k];
            const ViewMember& m = view.members[k];
            SCOPED_TRACE(c.name);
            EXPECT_EQ(m.cname, c.name);
            if (c.type == zta::kColumnTypeInteger) {
                EXPECT_EQ(m.type, "int");
                EXPECT_EQ(m.size, "-");
            } else {
                EXPECT_EQ(m.type, "string");
                EXPECT_EQ(m.size, std::to_string(c.size));
            }
            EXPECT_EQ(m.fbname, c.attribute[0] ? c.attribute : "-");
            EXPECT_EQ(m.count, "1");
            // An unbound member says so with the no-mapping flag.
            EXPECT_EQ(m.flag, c.attribute[0] ? "-" : "N");
            EXPECT_EQ(m.null, "-");
        }
    }
}

TEST(ViewFiles, ExactlyTheViewsOfTheTablesAreShipped) {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(PROJECT_VIEWS_DIR))
        if (entry.path().filename().string().rfind("txview", 0) == 0)
            found.insert(entry.path().filename().string());
    std::set<std::string> expected;
    for (const zta::TableMeta& t : zta::kTables)
        if (*t.view != '\0') expected.insert(t.view);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(found, expected);
}

// ---- MIB field table ----------------------------------------------------------

struct Field {
    long number;
    std::string type;
};

// Reads a field table in Tuxedo's text format; fails the test on a duplicate.
std::map<std::string, Field> ReadFieldTable(const std::filesystem::path& path) {
    std::map<std::string, Field> fields;
    std::map<long, std::string> by_number;
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot open " << path;
    long base = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name, number, type;
        if (!(words >> name) || name[0] == '#') continue;
        if (name == "*base") {
            EXPECT_TRUE(words >> base) << line;
            continue;
        }
        EXPECT_TRUE(words >> number >> type) << line;
        const long absolute = base + std::stol(number);
        EXPECT_TRUE(fields.emplace(name, Field{absolute, type}).second) << "name twice: " << name;
        auto [it, fresh] = by_number.emplace(absolute, name);
        EXPECT_TRUE(fresh) << name << " and " << it->second << " share " << absolute;
    }
    return fields;
}

const std::map<std::string, Field>& MibFields() {
    static const std::map<std::string, Field> fields =
        ReadFieldTable(std::filesystem::path(TUXSIM_FIELDS_DIR) / "tpadm");
    return fields;
}

TEST(FieldTable, NumbersAreInTheMibRangeAndTypesKnown) {
    const std::set<std::string> types = {"short",  "long",   "char",  "float",
                                         "double", "string", "carray"};
    ASSERT_FALSE(MibFields().empty());
    for (const auto& [name, f] : MibFields()) {
        EXPECT_EQ(name.rfind("TA_", 0), 0u) << name;
        // Tuxedo's MIB range, or the application range for the stand-in's
        // own numbers: never the rest of the system's range.
        const bool tuxedo = f.number >= 6000 && f.number <= 6999;
        const bool application = f.number >= 10001 && f.number <= 30000000;
        EXPECT_TRUE(tuxedo || application) << name << " " << f.number;
        EXPECT_TRUE(types.count(f.type)) << name << " " << f.type;
    }
}

// The identifiers the agent uses without the field table agree with it: a
// number moved in the table and not in the agent would read another field.
TEST(FieldTable, TheAgentsFixedIdentifiersMatchTheTable) {
    namespace f = zta::fld;
    std::vector<std::pair<std::string, FLDID32>> fixed = {
        {"TA_CLASS", f::TA_CLASS},         {"TA_CURSOR", f::TA_CURSOR},     {"TA_FLAGS", f::TA_FLAGS},
        {"TA_MORE", f::TA_MORE},           {"TA_OCCURS", f::TA_OCCURS},     {"TA_OPERATION", f::TA_OPERATION},
        {"TA_STATE", f::TA_STATE},         {"TA_CURTIME", f::TA_CURTIME},   {"TA_TIMERESTART", f::TA_TIMERESTART},
        {"TA_TIMESTART", f::TA_TIMESTART}, {"TA_GRPNO", f::TA_GRPNO},       {"TA_GRPCOUNT", f::TA_GRPCOUNT},
        {"TA_GRPINDEX", f::TA_GRPINDEX},   {"TA_GSTATE", f::TA_GSTATE},     {"TA_MMDDYY", f::TA_MMDDYY},
        {"TA_ULOGTIME", f::TA_ULOGTIME},   {"TA_APPQSPACENAME", f::TA_APPQSPACENAME},
        {"TA_QMCONFIG", f::TA_QMCONFIG},   {"TA_LMID", f::TA_LMID},
    };
    for (const f::named_field& q : f::kNamedAttributes) fixed.emplace_back(q.name, q.id);
    const char* const kTypes[] = {"short", "long", "char", "float", "double", "string", "carray"};
    for (const auto& [name, id] : fixed) {
        auto it = MibFields().find(name);
        ASSERT_NE(it, MibFields().end()) << name;
        EXPECT_EQ(long(id & 0x1FFFFFFu), it->second.number) << name;
        ASSERT_LT(id >> 25, 7u) << name;
        EXPECT_EQ(kTypes[id >> 25], it->second.type) << name;
    }
}

TEST(FieldTable, DocumentedFieldsKeepTheirNumbersAndTypes) {
    const std::map<std::string, Field> documented = {
        {"TA_BADFLD", {6001, "long"}},       {"TA_ERROR", {6006, "long"}},
        {"TA_FILTER", {6007, "long"}},       {"TA_STATUS", {6015, "string"}},
        {"TA_CURSORHOLD", {6005, "long"}},   {"TA_MIBTIMEOUT", {6009, "long"}},
        {"TA_PERM", {6013, "long"}},         {"TA_ENDTIME", {6261, "long"}},
        {"TA_CLASS", {6002, "string"}},      {"TA_CURSOR", {6004, "string"}},
        {"TA_FLAGS", {6008, "long"}},        {"TA_MORE", {6010, "long"}},
        {"TA_OCCURS", {6011, "long"}},       {"TA_OPERATION", {6012, "string"}},
        {"TA_STATE", {6014, "string"}},      {"TA_CURTIME", {6251, "long"}},
        {"TA_TIMESTART", {6399, "long"}},    {"TA_TIMERESTART", {6398, "long"}},
        {"TA_MSG_CTIME", {6325, "long"}},    {"TA_MSG_RTIME", {6330, "long"}},
        {"TA_MSG_STIME", {6331, "long"}},    {"TA_MMDDYY", {6321, "long"}},
        {"TA_ULOGTIME", {6434, "long"}},     {"TA_LMID", {6700, "string"}},
        {"TA_PMID", {6353, "string"}},       {"TA_ULOGLINE", {6429, "long"}},
        {"TA_ULOGMSG", {6430, "string"}},    {"TA_TPTRANID", {6420, "string"}},
        {"TA_XID", {6444, "string"}},        {"TA_PID", {6352, "long"}},
        {"TA_SEVERITY", {6381, "string"}},   {"TA_ULOGCAT", {6428, "string"}},
        {"TA_ULOGMSGNUM", {6431, "long"}},   {"TA_ULOGPROCNM", {6433, "string"}},
        {"TA_APPQNAME", {6601, "string"}},   {"TA_APPQSPACENAME", {6603, "string"}},
        {"TA_QMCONFIG", {6636, "string"}},   {"TA_APPQORDER", {6602, "string"}},
        {"TA_CMD", {6606, "string"}},        {"TA_CMDHW", {6607, "string"}},
        {"TA_CMDLW", {6608, "string"}},      {"TA_MAXRETRIES", {6627, "long"}},
        {"TA_OUTOFORDER", {6633, "string"}}, {"TA_RETRYDELAY", {6637, "long"}},
        {"TA_CURBLOCKS", {6610, "long"}},    {"TA_CURMSG", {6612, "long"}},
        {"TA_APPQMSGID", {6600, "string"}},  {"TA_PRIORITY", {6635, "long"}},
        {"TA_TIME", {6639, "string"}},       {"TA_CORRID", {6609, "string"}},
        {"TA_CURRETRIES", {6614, "long"}},   {"TA_MSGSIZE", {6630, "long"}},
        {"TA_BLOCKING", {6605, "long"}},     {"TA_ERRORQNAME", {6616, "string"}},
        {"TA_FORCEINIT", {6617, "string"}},  {"TA_IPCKEY", {6292, "long"}},
        {"TA_MAXMSG", {6624, "long"}},       {"TA_MAXPAGES", {6625, "long"}},
        {"TA_MAXPROC", {6626, "long"}},      {"TA_MAXQUEUES", {6312, "long"}},
        {"TA_MAXTRANS", {6628, "long"}},     {"TA_CUREXTENT", {6611, "long"}},
        {"TA_CURPROC", {6613, "long"}},      {"TA_CURQUEUES", {6242, "long"}},
        {"TA_CURTRANS", {6615, "long"}},     {"TA_HWMSG", {6619, "long"}},
        {"TA_HWPROC", {6620, "long"}},       {"TA_HWQUEUES", {6286, "long"}},
        {"TA_HWTRANS", {6621, "long"}},      {"TA_PERCENTINIT", {6634, "long"}},
    };
    for (const auto& [name, want] : documented) {
        SCOPED_TRACE(name);
        auto it = MibFields().find(name);
        ASSERT_NE(it, MibFields().end());
        EXPECT_EQ(it->second.number, want.number);
        EXPECT_EQ(it->second.type, want.type);
    }
    // The MIB's error reply.
    EXPECT_EQ(MibFields().at("TA_ERROR").type, "long");
    EXPECT_EQ(MibFields().at("TA_STATUS").type, "string");
    EXPECT_EQ(MibFields().at("TA_BADFLD").type, "long");
}

TEST(FieldTable, EveryAttributeOfEveryTableHasTheColumnsType) {
    for (const zta::TableMeta& t : zta::kTables) {
        for (unsigned k = 0; k < t.num_columns; ++k) {
            const zta::ColumnMeta& c = t.columns[k];
            if (c.attribute[0] == '\0') continue;
            SCOPED_TRACE(std::string(t.upper) + "." + c.name);
            auto it = MibFields().find(c.attribute);
            ASSERT_NE(it, MibFields().end()) << c.attribute;
            EXPECT_EQ(it->second.type, c.type == zta::kColumnTypeInteger ? "long" : "string");
        }
    }
}

}  // namespace
