// CRcHttpApi: the HTTP API's answers from the running center. Look-ups read
// the store the server writes; a removal goes through the server, so the
// resource leaves the store and the dedup cache together; the statistics are
// the store's counts beside the server's own. Borrows the server and the
// store, which must outlive it. Errors as CRcHttpBackend says.
#ifndef ZQ_RC_HTTP_API_H
#define ZQ_RC_HTTP_API_H

#include <string>

#include "rc_http.h"
#include "rc_store.h"

class CRcenterServer;

class CRcHttpApi : public CRcHttpBackend {
public:
    CRcHttpApi(CRcenterServer& oServer, CRcStore& oStore) : m_oServer(oServer), m_oStore(oStore) {}

    int Lookup(const std::string& strFid, std::string& strJson, std::string& strReason) override;
    int PieceTable(const std::string& strFid, std::string& strTable, std::string& strReason) override;
    int Stats(std::string& strJson, std::string& strReason) override;
    int Remove(const std::string& strFid, std::string& strReason) override;
    int Metrics(std::string& strText, std::string& strReason) override;
    void Answered(unsigned int iStatus) override;

private:
    int Find(const std::string& strFid, rc_resource_t& oRes, std::string& strReason);

    CRcenterServer& m_oServer;
    CRcStore& m_oStore;
};

#endif
