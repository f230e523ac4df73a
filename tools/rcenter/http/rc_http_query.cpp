#include "rc_http_query.h"

#include "post_form.h"
#include "rc_store.h"
#include "str_util.h"

bool CRcHttpParams::Parse(const std::string& strText, std::string& strWhy) {
    m_oPairs.clear();
    CPostForm oForm;
    const EPostFormResult eForm = oForm.Parse(strText.data(), strText.size());
    if (eForm != FORM_OK) {
        strWhy = PostFormResultText(eForm);
        return false;
    }
    for (const CPostForm::pair_t& oPair : oForm.Pairs()) {
        if (Get(oPair.first) != nullptr) {
            strWhy = oPair.first + " given twice";
            return false;
        }
        m_oPairs.push_back(oPair);
    }
    return true;
}

const std::string* CRcHttpParams::Get(const std::string& strName) const {
    for (const auto& oPair : m_oPairs) {
        if (oPair.first == strName) return &oPair.second;
    }
    return nullptr;
}

bool CRcHttpParams::Number(const std::string& strName, uint64 iMin, uint64 iMax, uint64 iDefault, uint64& iValue,
                           std::string& strWhy) const {
    const std::string* pText = Get(strName);
    if (pText == nullptr) {
        iValue = iDefault;
        return true;
    }
    unsigned long long iRead = 0;
    if (ParseDecimal(pText->data(), pText->size(), iMax, &iRead) != 0 || iRead < iMin) {
        strWhy = strName + ": a number from " + std::to_string(iMin) + " to " + std::to_string(iMax);
        return false;
    }
    iValue = iRead;
    return true;
}

bool CRcHttpParams::Page(rc_http_page_t& oPage, std::string& strWhy) const {
    uint64 iLimit = 0;
    uint64 iAfter = 0;
    if (!Number("limit", 1, RC_STORE_PAGE_MAX, RC_HTTP_PAGE_DEFAULT, iLimit, strWhy) ||
        !Number("after", 0, ~0ULL, 0, iAfter, strWhy))
        return false;
    oPage.Limit = static_cast<uint32>(iLimit);
    oPage.After = iAfter;
    return true;
}
