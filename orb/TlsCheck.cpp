#include "orb/TlsCheck.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace tmx::orb {

namespace {

template<typename T, void (*Free)(T *)>
struct Deleter
{
  void operator()(T *p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;

// The whole file, or false with the reason.
bool readFile(const std::string &path, std::string &content, std::string &why)
{
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    why = "a directory, not a PEM file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = std::strerror(errno);
    return false;
  }
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) {
    why = "cannot be read";
    return false;
  }
  content = out.str();
  return true;
}

BioPtr memoryBio(const std::string &content)
{
  return BioPtr(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
}

std::string asn1Time(const ASN1_TIME *t)
{
  BioPtr out(BIO_new(BIO_s_mem()));
  ASN1_TIME_print(out.get(), t);
  char *data = nullptr;
  long n = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

struct PasswordUse
{
  const TlsSettings *settings;
  bool asked = false;
};

int passwordCallback(char *buf, int size, int, void *user)
{
  auto *use = static_cast<PasswordUse *>(user);
  use->asked = true;
  if (!use->settings->keyPasswordGiven)
    return -1;
  const std::string &pw = use->settings->keyPassword;
  if (static_cast<int>(pw.size()) > size)
    return -1;
  std::memcpy(buf, pw.data(), pw.size());
  return static_cast<int>(pw.size());
}

std::string fault(const std::string &where, const std::string &why)
{
  return where + ": " + why;
}

std::string check(const TlsSettings &s, std::time_t now)
{
  if (s.caFile.empty() && s.caPath.empty())
    return "no certificate authority given (-ORBsslCAFile FILE): peers cannot be verified";
  if (s.keyFile.empty())
    return "no certificate given (-ORBsslKeyFile FILE, the certificate and its key in one PEM file)";
  if (!s.verifyMode.empty() &&
      (s.verifyMode.find("peer") == std::string::npos || s.verifyMode.find("fail") == std::string::npos))
    return "-ORBsslVerifyMode \"" + s.verifyMode + "\" accepts peers without a certificate (use peer,fail)";

  StorePtr store(X509_STORE_new());
  if (!s.caFile.empty()) {
    std::string content, why;
    if (!readFile(s.caFile, content, why))
      return fault(s.caFile, why);
    BioPtr bio = memoryBio(content);
    int certificates = 0;
    while (X509Ptr ca{ PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) }) {
      X509_STORE_add_cert(store.get(), ca.get());
      ++certificates;
    }
    if (!certificates)
      return fault(s.caFile, "no certificate in it (PEM)");
  }
  if (!s.caPath.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(s.caPath, ec))
      return fault(s.caPath, "not a directory (-ORBsslCAPath names a directory of certificates)");
    if (X509_STORE_load_path(store.get(), s.caPath.c_str()) != 1)
      return fault(s.caPath, "cannot be used as a directory of certificates");
  }

  std::string content, why;
  if (!readFile(s.keyFile, content, why))
    return fault(s.keyFile, why);
  BioPtr certBio = memoryBio(content);
  X509Ptr cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  if (!cert)
    return fault(s.keyFile, "no certificate in it (PEM)");
  BioPtr keyBio = memoryBio(content);
  PasswordUse use{ &s };
  KeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, passwordCallback, &use));
  if (!key) {
    if (use.asked && !s.keyPasswordGiven)
      return fault(s.keyFile, "the key is encrypted and no key password is given (-ORBsslKeyPassword)");
    if (use.asked)
      return fault(s.keyFile, "wrong key password");
    return fault(s.keyFile, "no private key in it (PEM)");
  }
  if (!s.keyPasswordGiven)
    // omniORB reads the key only when it has a password, even an
    // unencrypted one.
    return fault(s.keyFile, "no key password given (-ORBsslKeyPassword; omniORB needs one)");
  if (X509_check_private_key(cert.get(), key.get()) != 1)
    return fault(s.keyFile, "the certificate does not match its private key");
  if (X509_cmp_time(X509_get0_notAfter(cert.get()), &now) < 0)
    return fault(s.keyFile, "the certificate expired on " + asn1Time(X509_get0_notAfter(cert.get())));
  if (X509_cmp_time(X509_get0_notBefore(cert.get()), &now) > 0)
    return fault(s.keyFile,
                 "the certificate is not valid before " + asn1Time(X509_get0_notBefore(cert.get())));

  StoreCtxPtr ctx(X509_STORE_CTX_new());
  X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr);
  X509_STORE_CTX_set_time(ctx.get(), 0, now);
  if (X509_verify_cert(ctx.get()) != 1) {
    const int err = X509_STORE_CTX_get_error(ctx.get());
    return fault(s.keyFile,
                 std::string("the certificate is not accepted by the certificate authority (") +
                   X509_verify_cert_error_string(err) + ")");
  }
  return {};
}

} // namespace

std::string checkTlsSetup(const TlsSettings &settings, std::time_t now)
{
  // OpenSSL's error queue is per thread and omniORB reads it after its own
  // calls: nothing of these checks is left in it.
  ERR_clear_error();
  std::string why = check(settings, now);
  ERR_clear_error();
  return why;
}

} // namespace tmx::orb
