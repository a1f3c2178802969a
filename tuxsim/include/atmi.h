/*
 * ATMI: joining an application, typed buffers and service calls.
 *
 * The names, types and signatures are Tuxedo's, down to the plain `char*` of
 * texts the calls only read, so that code that builds against this header
 * also builds against a real Tuxedo installation.
 */
#ifndef TUXSIM_ATMI_H
#define TUXSIM_ATMI_H

#ifdef __cplusplus
extern "C" {
#endif

#define MAXTIDENT 30

/* Identity and options of a client joining an application (buffer type
 * "TPINIT"). */
struct tpinfo_t {
    char usrname[MAXTIDENT + 2];
    char cltname[MAXTIDENT + 2];
    char passwd[MAXTIDENT + 2];
    char grpname[MAXTIDENT + 2];
    long flags;
    long datalen;
    long data;
};
typedef struct tpinfo_t TPINIT;

/* Bytes of a "TPINIT" buffer whose application data (data, at the end) holds
 * u bytes: the structure, grown by what does not fit into its last member. */
#define TPINITNEED(u) \
    ((unsigned long)(u) > sizeof(long) ? sizeof(TPINIT) + (unsigned long)(u) - sizeof(long) : sizeof(TPINIT))

/* TPINIT flags: how unsolicited notification arrives (TPU_*), the access to
 * the system tables (TPSA_*) and multi-context use. */
#define TPU_MASK 0x00000047
#define TPU_SIG 0x00000001
#define TPU_DIP 0x00000002
#define TPU_IGN 0x00000004
#define TPSA_FASTPATH 0x00000008
#define TPSA_PROTECTED 0x00000010
#define TPMULTICONTEXTS 0x00000020
#define TPU_THREAD 0x00000040

/* Call flags. */
#define TPNOBLOCK 0x00000001
#define TPSIGRSTRT 0x00000002
#define TPNOREPLY 0x00000004
#define TPNOTRAN 0x00000008
#define TPTRAN 0x00000010
#define TPNOTIME 0x00000020
#define TPABSOLUTE 0x00000040
#define TPGETANY 0x00000080
#define TPNOCHANGE 0x00000100

/* tperrno codes. */
#define TPMINVAL 0
#define TPEABORT 1
#define TPEBADDESC 2
#define TPEBLOCK 3
#define TPEINVAL 4
#define TPELIMIT 5
#define TPENOENT 6
#define TPEOS 7
#define TPEPERM 8
#define TPEPROTO 9
#define TPESVCERR 10
#define TPESVCFAIL 11
#define TPESYSTEM 12
#define TPETIME 13
#define TPETRAN 14
#define TPGOTSIG 15
#define TPERMERR 16
#define TPEITYPE 17
#define TPEOTYPE 18
#define TPERELEASE 19
#define TPEHAZARD 20
#define TPEHEURISTIC 21
#define TPEEVENT 22
#define TPEMATCH 23
#define TPEDIAGNOSTIC 24
#define TPEMIB 25
#define TPMAXVAL 26

/* The error of the calling thread's last failed ATMI call. */
extern int* tuxsim_tperrno_addr(void);
#define tperrno (*tuxsim_tperrno_addr())

int tpinit(TPINIT* tpinfo);
int tpterm(void);

char* tpalloc(char* type, char* subtype, long size);
char* tprealloc(char* ptr, long size);
void tpfree(char* ptr);
long tptypes(char* ptr, char* type, char* subtype);

int tpcall(char* svc, char* idata, long ilen, char** odata, long* olen, long flags);

char* tpstrerror(int err);

#ifdef __cplusplus
}
#endif

#endif /* TUXSIM_ATMI_H */
