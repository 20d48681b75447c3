// The gateway's reply headers byte for byte, by reply kind, and its JSON error
// object: what every HTTP test compares against. Header-only.
#pragma once
#include <string>

inline const std::string REPLY_TAIL = "Server: ORVEL\r\nConnection: close\r\n\r\n";
inline const std::string REPLY_OK = "HTTP/1.1 200 OK\r\n", REPLY_CORS = "Access-Control-Allow-Origin: *\r\n";
inline const std::string H200 = REPLY_OK + "Cache-Control: no-cache no-store\r\n" + REPLY_CORS + "Expires: -1\r\n" + REPLY_TAIL;
inline const std::string H201 = REPLY_OK + REPLY_CORS + "Cache-Control: max-age=3600\r\n" + REPLY_TAIL;
inline const std::string H202 = REPLY_OK + REPLY_CORS + "Content-type: application/json\r\n"
                                "Cache-Control: no-cache no-store\r\nExpires: -1\r\n" + REPLY_TAIL;
inline const std::string H203 = REPLY_OK + REPLY_CORS + "Content-type: text/css\r\n" + REPLY_TAIL;
inline const std::string H204 = REPLY_OK + REPLY_CORS + "Content-type: text/javascript\r\n" + REPLY_TAIL;
inline const std::string H205 = REPLY_OK + REPLY_CORS + "Content-type: text/html\r\n" + REPLY_TAIL;
inline const std::string H404 = "HTTP/1.1 404 Not Found\r\n" + REPLY_TAIL;
// A stored value: bytes that are never sniffed or run as a page.
inline const std::string HVAL = REPLY_OK +
                                "Content-Type: application/octet-stream\r\nX-Content-Type-Options: nosniff\r\n"
                                "Content-Security-Policy: sandbox\r\nCache-Control: no-cache no-store\r\n" +
                                REPLY_CORS + "Expires: -1\r\n" + REPLY_TAIL;

inline std::string error_object(const std::string &data, const std::string &id = "") {
  return "{\"id\":\"" + id + "\",\"cmd\":\"ERROR\",\"data\":\"" + data + "\",\"rssi\":\"\"}";
}
