// The firmware upload: the multipart request, its reply's verdict, the
// signature part, and the client's direct and two-step uploads.
#include "webclient/upload.h"

#include <string.h>

#include "app/environment.h"
#include "app/support_log.h"
#include "contract/result.h"
#include "kit_files.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "webclient/gateway_client.h"
#include "webclient/gateway_socket.h"
#include "webclient/requests.h"
#include "webclient/text_util.h"

namespace velmora {

namespace {

const uint32_t kUploadReplyMs = 150000;
// The file of an upload goes out within a minute and a second for every
// 16,000 bytes: a gateway that takes less, however steadily, is stuck.
const uint32_t kUploadSendMs = 60000;
const uint64_t kUploadBytesPerSecond = 16000;
const unsigned kPauseAfterUploadMs = 20000;
const size_t kLongestUploadReply = 1 << 20;
const int kUploadTimeoutSeconds = 10;
// Longest signature file that dornix takes.
const size_t kLongestSignature = 4096;
const char kSignatureHeader[] = "X-Dornix-Signature";
// What to do when the gateway could not be reached for an upload, or the
// connection broke under it.
const char kCheckConnection[] =
    "Check that the Gateway is on and that its cable to this computer is plugged in at both "
    "ends, then try again.";

// a + b, kept below the longest limit a tick count can measure.
uint32_t AddLimits(uint64_t a, uint64_t b) {
  const uint64_t kLongest = 4000000000u;
  return static_cast<uint32_t>(a + b < kLongest ? a + b : kLongest);
}

// N of the first "fail[N]" in `text`, or -1.
int FailCodeIn(const std::string &text) {
  size_t at = text.find("fail[");
  if (at == std::string::npos) return -1;
  int code = 0, digits = 0;
  for (size_t i = at + 5; i < text.size() && digits < 4; ++i, ++digits) {
    if (text[i] == ']') return digits ? code : -1;
    if (text[i] < '0' || text[i] > '9') return -1;
    code = code * 10 + (text[i] - '0');
  }
  return -1;
}

}  // namespace

CFirmwareUpload::CFirmwareUpload(CGatewaySocket &socket, UploadProgress progress)
    : socket_(socket), progress_(std::move(progress)) {}

const std::string &CFirmwareUpload::Problem() const { return socket_.Problem(); }

UploadVerdict CFirmwareUpload::UploadFile(const char *path, const char *fileName,
                                          const char *localPath, const std::string *signature) {
  replyStatus_ = 0;
  failCode_ = -1;
  signatureRefused_ = signatureChecked_ = transferBroken_ = fileStarted_ = bodySent_ = false;
  // Until the file's size is known: the head goes out within a minute.
  socket_.SetDeadline(Env().clock->Limit(kUploadSendMs));
  if (!socket_.PrepareRequest(1024)) return kUploadRefused;
  std::string auth;
  socket_.BuildAuthorization(auth);
  std::string head = ComposeUploadHead(path, socket_.Host(), auth);
  socket_.StartRequest(head);
  if (!socket_.SendRequest(head)) return kUploadRefused;

  const char *source = localPath ? localPath : fileName;
  platform::File file;
  int64_t size = file.Open(source, platform::File::kRead) ? file.Size() : -1;
  if (size < 0) {
    socket_.Fail(std::string("the kit's file ") + source + " cannot be read");
    return kUploadRefused;
  }
  SupportLog("sending %s: %lld bytes%s", fileName, static_cast<long long>(size),
             signature ? ", with its signature" : "");
  socket_.SetDeadline(AddLimits(
      Env().clock->Limit(AddLimits(kUploadSendMs, static_cast<uint64_t>(size) * 1000u /
                                                      kUploadBytesPerSecond)),
      Env().clock->Limit(kUploadReplyMs)));

  // Announce the exact body: a web server that trusts the length would
  // otherwise wait for bytes that never come or cut the image short.
  std::string signaturePart = signature ? ComposeSignaturePart(fileName, *signature) : "";
  if (!socket_.SendRequest(ComposeUploadLength(
          UploadBodyLength(fileName, static_cast<uint64_t>(size)) + signaturePart.size())))
    return kUploadRefused;
  // The signature part's leading "\r\n" ends the headers in place of the
  // file part's, which then ends the signature.
  transferBroken_ = fileStarted_ = true;  // until the last piece is out
  if (signature && !socket_.SendRequest(signaturePart)) return kUploadRefused;
  if (!socket_.SendRequest(ComposeUploadPartHeader(fileName))) return kUploadRefused;
  char block[1024];
  uint64_t sent = 0;
  for (;;) {
    long n = file.Read(block, sizeof block);
    if (n < 0) {
      socket_.Fail(std::string("reading the kit's file ") + source + " failed");
      return kUploadRefused;
    }
    if (n == 0) break;
    if (socket_.SendAll(block, static_cast<int>(n)) != 1) {
      socket_.SendFailed();
      return kUploadRefused;
    }
    sent += static_cast<uint64_t>(n);
    if (progress_ && !progress_(sent, static_cast<uint64_t>(size))) {
      // Cut short on purpose: the gateway gets no whole file to write.
      transferBroken_ = false;
      socket_.Fail("the upload was stopped after " + std::to_string(sent) + " of " +
                   std::to_string(size) + " bytes");
      return kUploadRefused;
    }
  }
  file.Close();
  if (!socket_.SendRequest(ComposeUploadTail())) return kUploadRefused;
  transferBroken_ = false;
  bodySent_ = true;

  // The upgrade service says "failed" or "successful"; dornix answers with
  // its result page. An error status refuses the upload at once; failure
  // words are looked for before success words in every piece.
  static const char *const kFailure[] = {"failed", "upgrade result: fail"};
  static const char *const kSuccess[] = {"successful", "upgrade result: ok"};
  CMarkerScanner scanner(strlen("upgrade result: fail[4]"));
  CReplyFraming framing;
  UploadVerdict verdict = kUploadUnconfirmed;
  std::string replyHead;  // the start of the reply, where dornix's verdict stands
  socket_.ReadReply(Env().clock->Limit(kUploadReplyMs), kLongestUploadReply, framing,
                    [&](const std::string &text) {
                      if (replyHead.size() < 4096)
                        replyHead += text.substr(0, 4096 - replyHead.size());
                      scanner.Feed(text.data(), text.size());
                      if (signature && scanner.Found("upgrade result: fail[4]"))
                        signatureRefused_ = true;
                      if (framing.Status() >= 400) {
                        verdict = kUploadRefused;
                        return false;
                      }
                      for (const char *word : kFailure)
                        if (scanner.Found(word)) verdict = kUploadRefused;
                      if (verdict == kUploadUnconfirmed)
                        for (const char *word : kSuccess)
                          if (scanner.Found(word)) verdict = kUploadAccepted;
                      return verdict == kUploadUnconfirmed;
                    });
  // dornix says that it checked the signature in a header line of its
  // page; the same words in a body prove nothing.
  signatureChecked_ = framing.Header(kSignatureHeader).compare(0, 5, "valid") == 0;
  replyStatus_ = framing.Status();
  if (replyStatus_ >= 400) verdict = kUploadRefused;
  failCode_ = FailCodeIn(replyHead);
  if (failCode_ >= 0)
    socket_.Fail("the Gateway answered fail[" + std::to_string(failCode_) + "]");
  else if (verdict == kUploadRefused && socket_.Problem().empty())
    socket_.Fail("the Gateway answered that the upload failed");
  SupportLog("verdict on %s: %s", fileName,
             verdict == kUploadAccepted ? "accepted"
             : verdict == kUploadRefused ? "refused"
                                         : "none (the version after the restart decides)");
  // No verdict (no answer, a close or a reset after the body, bytes that
  // say nothing): the gateway may have restarted without answering. The
  // version it runs after the power cycle decides.
  if (verdict == kUploadAccepted) Env().clock->Sleep(kPauseAfterUploadMs);
  return verdict;
}

FlashAfterUpload CFirmwareUpload::Flash(UploadVerdict verdict, bool dornix) const {
  if (verdict == kUploadAccepted) return kFlashWritten;
  // A 4xx status comes from the web server before any program saw the file.
  if (!fileStarted_ || (replyStatus_ >= 400 && replyStatus_ < 500)) return kFlashUntouched;
  // The upgrade service is the gateway's own: it does not say what it did
  // with a file it refused or took only in part.
  if (!dornix) return kFlashUnknown;
  // dornix writes only an upload it received whole and checked.
  if (!bodySent_) return kFlashUntouched;
  if (failCode_ == RESULT_MTD_WRITE) return kFlashPartlyWritten;
  // Reading back the stored image failed: the writing may have begun.
  if (failCode_ == RESULT_TMP_READ) return kFlashUnknown;
  // Every other refusal leaves the flash as it was.
  if (failCode_ >= 0) return kFlashUntouched;
  return kFlashUnknown;  // no verdict, or a server error
}

// ---- the client's uploads

std::string CGatewayClient::KitFile(const char *name) const {
  // As velmora-kit finds it: "CONFIG.XML" is read on Linux too.
  return platform::JoinPath(kitDir, kit::kit_file(kitDir, name));
}

std::string CGatewayClient::SignatureFile(const std::string &name) const {
  // The signature as velmora-kit finds it (kit_files.h): "fw.img.MINISIG"
  // goes along on Linux too, as Windows would open it.
  const std::string found = kit::signature_file(kitDir, name);
  return found.empty() ? found : KitFile(found.c_str());
}

bool CGatewayClient::FindImageFile(std::string &out) {
  std::vector<std::string> images = kit::image_files(kitDir);
  if (!images.empty()) out = images.back();
  return images.size() == 1;
}

bool CGatewayClient::ConnectForUpload(CGatewaySocket &socket, int port) {
  socket.userName = userName;
  socket.password = password;
  socket.timeoutSeconds = kUploadTimeoutSeconds;
  return socket.Connect(port, gatewayAddress) == 1;
}

int CGatewayClient::UploadToDornix(CGatewaySocket &socket, const std::string &name,
                                   const std::string &local, const UploadProgress &progress,
                                   int *status) {
  std::string signature, note;
  const std::string signatureFile = SignatureFile(name);
  bool isSigned = !signatureFile.empty() && platform::ReadWholeFile(signatureFile, &signature) &&
                  signature.size() <= kLongestSignature;
  CFirmwareUpload first(socket, progress);
  int verdict = Uploaded(first, first.UploadFile("cgi-bin/dornix", name.c_str(), local.c_str(),
                                                 isSigned ? &signature : nullptr));
  *status = first.LastReplyStatus();
  if (!isSigned) {
    note = "not signed (the kit holds no " + name + ".minisig)";
  } else if (first.SignaturePartRefused() || first.TransferBroken()) {
    // A gateway from before signed uploads refuses the unknown part with
    // fail[4] before it reads the file; its web server may then drop the
    // connection under the file still being sent, so that the answer is
    // lost. Such a gateway gets the file again without the part (a gateway
    // that holds keys would refuse that one with fail[23]).
    const bool broke = !first.SignaturePartRefused();
    CGatewaySocket again;
    CFirmwareUpload second(again, progress);
    verdict = kUploadRefused;
    if (ConnectForUpload(again, Env().httpPort)) {
      verdict = second.UploadFile("cgi-bin/dornix", name.c_str(), local.c_str());
      *status = second.LastReplyStatus();
    }
    verdict = Uploaded(second, verdict);
    // The kit is signed: what went wrong is the connection, not the kit.
    if (broke && second.FailCode() == 23)
      SetProblem(first.Problem() + "; sent again without its signature, the Gateway refused it "
                     "(fail[23]: it takes only signed images)",
                 "Check the cable between this computer and the Gateway, restart the Gateway, "
                 "then try again.");
    note = std::string("signed, but the gateway ") +
           (broke ? "dropped the signed upload" : "does not take signatures (fail[4])") +
           ": sent again unsigned, not checked";
    if (verdict >= 0)
      uploadNotice = broke ? "The connection broke while " + name + " was sent with its "
                                 "signature; it was sent again without it, and the Gateway "
                                 "did not check a signature.\r\n"
                           : "The Gateway does not check signatures: it refused the signature "
                                 "of " + name + " (fail[4]) and took " + name + " without "
                                 "it.\r\n";
  } else if (first.SignatureChecked()) {
    note = "signed; the gateway checked the signature and it holds";
  } else {
    note = verdict >= 0 ? "signed; the gateway holds no key and did not check it"
                        : "signed; the gateway refused the upload";
  }
  uploadSignatureNote = name + ": " + note;
  platform::DebugOutput(("UploadFirmware: " + uploadSignatureNote + "\n").c_str());
  SupportLog("signature: %s", uploadSignatureNote.c_str());
  return verdict;
}

int CGatewayClient::Uploaded(const CFirmwareUpload &upload, int verdict, bool dornix) {
  uploadFailCode = upload.FailCode();
  uploadFlash = FlashAfter(uploadFlash, upload.Flash(static_cast<UploadVerdict>(verdict), dornix));
  if (verdict >= 0) return verdict;
  if (uploadFailCode < 0) {
    SetProblem(upload.Problem(), upload.TransferBroken() ? kCheckConnection : "");
  } else {
    const char *todo = "";
    const char *meaning = DornixFailMeaning(uploadFailCode, &todo);
    SetProblem(upload.Problem() + ": " + meaning, todo);
  }
  return verdict;
}

int CGatewayClient::UploadFirmware(int prepareNeeded, const UploadProgress &progress) {
  uploadFailCode = -1;
  uploadNotice.clear();
  uploadFlash = kFlashUntouched;
  // A stop asked for through the progress ends the upload there, and every
  // step after it.
  bool stopped = false;
  const UploadProgress follow = [&stopped, &progress](uint64_t sent, uint64_t total) {
    stopped = stopped || (progress && !progress(sent, total));
    return !stopped;
  };
  // Two steps without a preparation package in the kit: the image goes to
  // the upgrade service alone, as when dornix takes nothing from it.
  const bool prepare = prepareNeeded && platform::PathExists(KitFile("prepare.bin"));
  CGatewaySocket first;
  if ((!prepareNeeded || prepare) && !ConnectForUpload(first, Env().httpPort)) {
    SetProblem(first.Problem(), kCheckConnection);
    return kUploadRefused;
  }
  std::string image;
  if (!FindImageFile(image)) {
    SetProblem("the kit folder " + kitDir + " does not hold exactly one image (*.img)",
               GWC_KIT_DAMAGED);
    return kUploadRefused;
  }
  std::string local = KitFile(image.c_str());
  int status = 0;
  if (!prepareNeeded) return UploadToDornix(first, image, local, follow, &status);

  // Two steps: the preparation package to dornix (its verdict may
  // legitimately be that no image was written, but an error status says the
  // gateway cannot take it), then the image to the upgrade service, whose
  // verdict decides.
  if (prepare) {
    UploadToDornix(first, "prepare.bin", KitFile("prepare.bin"), follow, &status);
    if (stopped || status >= 400) return kUploadRefused;
  } else {
    SupportLog("the kit holds no prepare.bin: %s goes to the upgrade service without a "
               "preparation package", image.c_str());
  }
  CGatewaySocket second;
  if (!ConnectForUpload(second, Env().updatePort)) {
    SetProblem(second.Problem(), kCheckConnection);
    return kUploadRefused;
  }
  CFirmwareUpload upload(second, follow);
  return Uploaded(upload, upload.UploadFile("cgi-bin/update", image.c_str(), local.c_str()), false);
}

std::string CGatewayClient::UploadPlan(int prepareNeeded) {
  std::string image;
  if (!FindImageFile(image)) return "";
  const bool prepare = prepareNeeded && platform::PathExists(KitFile("prepare.bin"));
  std::string text;
  if (!prepareNeeded)
    text = "An upgrade would save the wireless settings, send the kit's firmware image " + image +
           " to the gateway, restart the gateway and write the settings back.\r\n";
  else if (prepare)
    text = "This gateway takes an upgrade in two steps: an upgrade would save the wireless "
           "settings, send the kit's preparation package prepare.bin to the gateway and then its "
           "firmware image " + image + " to the gateway's upgrade service, restart the gateway "
           "and write the settings back.\r\n";
  else
    text = "This gateway takes an upgrade in two steps, and the kit holds no preparation "
           "package (prepare.bin): an upgrade would save the wireless settings, send the kit's "
           "firmware image " + image + " to the gateway's upgrade service without one, restart "
           "the gateway and write the settings back. Whether the upgrade service takes the "
           "image without preparation, only the gateway can tell.\r\n";
  // What dornix checks: the signature of the file it is sent, against keys
  // only the gateway knows.
  const std::string checked = prepareNeeded ? (prepare ? "prepare.bin" : "") : image;
  if (!checked.empty()) {
    const bool isSigned = !SignatureFile(checked).empty();
    text += isSigned ? checked + " is signed. Which keys the gateway holds cannot be read from "
                                 "it: a gateway that holds none takes " + checked +
                           " unchecked, and one that holds other keys than the signer's refuses "
                           "it with fail[23] before it writes anything; the upgrade then ends "
                           "there and says so.\r\n"
                     : checked + " is not signed. Which keys the gateway holds cannot be read "
                                 "from it: a gateway that holds keys refuses " + checked +
                           " with fail[23] before it writes anything; the upgrade then ends "
                           "there and says so.\r\n";
  }
  if (prepareNeeded)
    text += image + " goes to the upgrade service without its signature: that service checks "
                    "none.\r\n";
  return text;
}

}  // namespace velmora
