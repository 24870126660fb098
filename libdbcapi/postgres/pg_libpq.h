// libpq, opened on the first server connection rather than linked: the
// embedded database must load and run on a machine without libpq.
#ifndef ZKV_PG_LIBPQ_H
#define ZKV_PG_LIBPQ_H

#include <libpq-fe.h>

#include <atomic>
#include <string>

// Every libpq function the server backend calls; adding a call means adding
// its name here.
#define ZKV_LIBPQ_FUNCTIONS(X)                                                                         \
    X(PQcancel) X(PQclear) X(PQcmdTuples) X(PQconnectPoll) X(PQconnectStartParams) X(PQconsumeInput)   \
    X(PQenterPipelineMode) X(PQerrorMessage) X(PQexitPipelineMode) X(PQfinish) X(PQfmod) X(PQfname)     \
    X(PQfreeCancel) X(PQftable) X(PQftablecol) X(PQftype) X(PQgetCancel) X(PQgetResult) X(PQgetisnull)  \
    X(PQgetlength) X(PQgetvalue) X(PQisBusy) X(PQnfields) X(PQnparams) X(PQntuples) X(PQparamtype)      \
    X(PQpipelineStatus) X(PQpipelineSync) X(PQresultErrorField) X(PQresultErrorMessage)                 \
    X(PQresultMemorySize) X(PQresultStatus) X(PQsendDescribePrepared) X(PQsendPrepare) X(PQsendQuery)   \
    X(PQsendQueryParams) X(PQsendQueryPrepared) X(PQsetErrorVerbosity) X(PQsetNoticeReceiver)           \
    X(PQsetSingleRowMode) X(PQsocket) X(PQstatus) X(PQtransactionStatus) X(PQflush) X(PQsetnonblocking)

namespace zkv {

struct LibPq {
#define ZKV_LIBPQ_MEMBER(name) decltype(&::name) name = nullptr;
    ZKV_LIBPQ_FUNCTIONS(ZKV_LIBPQ_MEMBER)
#undef ZKV_LIBPQ_MEMBER
};

// Opens libpq once per process. On failure, error names the library and
// why it could not be used; later calls report the same failure.
bool loadLibPq(std::string& error);

extern std::atomic<const LibPq*> loadedLibPq;

// The loaded table; only valid after loadLibPq succeeded. Inline: the
// server backend calls it for every value of every row.
inline const LibPq& libpq() { return *loadedLibPq.load(std::memory_order_acquire); }

}  // namespace zkv

#endif
