// The client's doors to a resource, for any HTTP client: the redirect to
// one usable mirror (302, with RFC 6249 duplicates, the Metalink as
// describedby and the RFC 3230 digest) and the Metalink 4 description
// (RFC 5854) of the file, its piece hashes and its usable mirrors. Which
// mirrors, in which order, rc_mirror_choice decides. Texts a peer reported
// (URLs, names) never break the answer's syntax: URLs are percent-encoded
// past printable ASCII, XML texts escaped, the file name made safe. Pure
// functions of the stored resource and the random source.
#ifndef ZQ_RC_DOWNLOAD_H
#define ZQ_RC_DOWNLOAD_H

#include <random>
#include <string>

#include "rc_http.h"
#include "rc_store.h"

enum : uint32 {
    RC_DOWNLOAD_DUPLICATES = 10,  // Link: rel=duplicate lines beside the Location
    RC_METALINK_URLS = 100,       // <url> elements of a Metalink
    // When a client may ask again after "no usable location": about when
    // the next checks have run.
    RC_DOWNLOAD_RETRY_AFTER_S = 300,
};

// 302 to the first usable location, or 503 {"error": "no usable location"}.
rc_http_reply_t rc_download_reply(const rc_resource_t& oRes, std::mt19937& oRandom);
// 200 application/metalink4+xml, or the same 503.
rc_http_reply_t rc_metalink_reply(const rc_resource_t& oRes, std::mt19937& oRandom);

// A reported URL fit for a header or an XML attribute: every byte outside
// printable ASCII, and <, >, ", ' and the backslash, percent-encoded.
std::string rc_safe_url(const std::string& strUrl);
// The name a downloaded file gets: the reported name without '/', '\', control
// bytes or bytes of broken UTF-8 (each becomes '_'); never empty, "." or "..".
std::string rc_safe_file_name(const std::string& strName, const Sha1Hash& oFid);
// Text escaped for XML content and attribute values (&, <, >, ", ').
std::string rc_xml_escape(const std::string& strText);

#endif
