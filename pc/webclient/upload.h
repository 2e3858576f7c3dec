// One kit file sent to the gateway as a multipart form upload, and what its
// reply says: dornix's result page ("upgrade result: ok[0]" or "fail[N]",
// with its signature header) or the upgrade service's "successful" or
// "failed". The connection under it only carries the bytes.
#ifndef VELMORA_WEBCLIENT_UPLOAD_H
#define VELMORA_WEBCLIENT_UPLOAD_H

#include <stdint.h>

#include <functional>
#include <string>

namespace velmora {

class CGatewaySocket;

// Hears of every block of a file sent: the bytes of the file sent so far
// and its size. false stops the upload there: the rest of the file is not
// sent, and a gateway writes nothing it did not receive whole.
using UploadProgress = std::function<bool(uint64_t sent, uint64_t total)>;

// What an upload's reply said.
enum UploadVerdict {
  kUploadRefused = -1,     // an error status, "failed", "fail[N]", or a failed send
  kUploadUnconfirmed = 0,  // the reply ended without a verdict
  kUploadAccepted = 1,     // "successful" or dornix's "ok"
};

// What a gateway's flash may hold after an upload, by what the gateway did
// with it.
enum FlashAfterUpload {
  kFlashUntouched,      // the file never reached it whole, or it was refused before writing
  kFlashWritten,        // the gateway took the file and wrote it
  kFlashUnknown,        // it went out whole and the answer does not say what became of it
  kFlashPartlyWritten,  // the gateway said its flash may now be partly written
};

// What the flash may hold once `now` followed `before`: an upload that left
// it untouched undoes nothing an earlier one did.
inline FlashAfterUpload FlashAfter(FlashAfterUpload before, FlashAfterUpload now) {
  return now == kFlashUntouched ? before : now;
}

class CFirmwareUpload {
 public:
  // `socket` is connected; it stays the caller's.
  explicit CFirmwareUpload(CGatewaySocket &socket, UploadProgress progress = nullptr);

  // Uploads a file as the multipart form field "UploadFile" named fileName;
  // the bytes are read from localPath (fileName itself when null). With
  // `signature` (the text of the file's .minisig), a "signature" part goes
  // in front of the file.
  UploadVerdict UploadFile(const char *path, const char *fileName,
                           const char *localPath = nullptr,
                           const std::string *signature = nullptr);

  // The status code of the reply (0 when none came or it was not HTTP).
  int LastReplyStatus() const { return replyStatus_; }
  // The gateway answered fail[4] to a signed upload, as one that does not
  // know the "signature" part does.
  bool SignaturePartRefused() const { return signatureRefused_; }
  // The gateway said in its reply's head that it checked the signature and
  // that it held.
  bool SignatureChecked() const { return signatureChecked_; }
  // The connection broke while the request was still going out.
  bool TransferBroken() const { return transferBroken_; }
  // N of dornix's "fail[N]", or -1 when it did not answer with one.
  int FailCode() const { return failCode_; }
  // What the gateway's flash may hold after this upload: `dornix` says that
  // it went to dornix, which checks an upload whole before it writes and
  // names in its answer what it could not do; the upgrade service says
  // only "successful" or "failed".
  FlashAfterUpload Flash(UploadVerdict verdict, bool dornix) const;
  // What went wrong, for a person ("" when nothing did).
  const std::string &Problem() const;

 private:
  CGatewaySocket &socket_;
  UploadProgress progress_;
  int replyStatus_ = 0;
  bool signatureRefused_ = false;
  bool signatureChecked_ = false;
  bool transferBroken_ = false;
  bool fileStarted_ = false;  // a byte of the file's part went out
  bool bodySent_ = false;     // the whole request went out
  int failCode_ = -1;
};

}  // namespace velmora

#endif
