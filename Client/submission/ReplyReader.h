// The ballot server's reply: header lines with the application status, and a body that holds
// the DER receipt, sized by "Content-length" or in chunked transfer coding.
#pragma once
#include <openssl/bio.h>
#include <openssl/cms.h>

#include <memory>
#include <string>

namespace kovrax::submission {

struct ReceiptCmsFree {
  void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
using ReceiptCmsPtr = std::unique_ptr<CMS_ContentInfo, ReceiptCmsFree>;

// Largest body and largest chunk accepted.
inline constexpr long kMaxReplyBody = 65535;
// Bytes asked of the line reader per line.
inline constexpr int kReplyLineRead = 256;

// Reads the header through BIO_gets. status (size bytes) receives the "Kovra-status" value.
//  >0 header complete, body of that "Content-length"; 0 header complete, chunked body;
//  -1 a line could not be read; -2 no (or an empty) "Kovra-status"; -3 neither length nor chunked;
//  -4 an "HTTP/1.1 " line without status 200; -6 length not a number; -7 length out of 1..65535.
int ReadReplyHeader(BIO* bio, char* status, int size);

// Decodes a chunked body into a new memory BIO (the caller's), or null when it cannot be read.
BIO* ReadChunkedBody(BIO* bio);

// Reads the header and the body and decodes the receipt. serverStatus receives the
// "Kovra-status" value. Raises KovraException as TActiveXThread::Cmd_TxSIG: the server's own text
// after "ERR " (Line 1510) or 1020 (1511) for a refused header, 1014 "BIO_new" (1517) for an
// unreadable chunked body, 1020 (1525) when no CMS object could be decoded.
ReceiptCmsPtr ReadReceipt(BIO* bio, std::string& serverStatus);

// The document text of an "OK <text>" status (at most 258 bytes; empty for "OK"). Raises 1018
// (Line 1530) for any other status.
std::string ReceiptDocumentOf(const std::string& serverStatus);

}  // namespace kovrax::submission
