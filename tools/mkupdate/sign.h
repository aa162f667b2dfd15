// Signing what build makes, with osslsigncode (only the Linux build can run it), and what
// verify says about a program's signature.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct SignOptions {
    std::filesystem::path cert, key;    // --sign CERT --key KEY (PEM or DER)
    std::filesystem::path pkcs12;       // --pkcs12 FILE instead
    std::filesystem::path passwordFile; // --password-file FILE: the key's or PKCS#12 password
    std::string timestamp;              // --timestamp URL: an RFC 3161 time-stamp server
    std::string description, url;       // --description TEXT, --url URL: shown by the platform
    bool Wanted() const { return !cert.empty() || !pkcs12.empty(); }
};

// 1 when this build of mkupdate can sign.
int SigningAvailable();

// Before anything is built, so that a long build does not end in a refusal: signing is
// available, osslsigncode is found in an absolute folder of PATH, the files it is to read are
// readable, and an encrypted key comes with its password file (the signer never asks).
int CheckSigning(const SignOptions& options, std::string* error);

// Signs unsignedFile and writes the signed program to output, as every output is written
// (through a temporary file, output whole on failure). The result's certificate table must end
// it, or it is refused.
int SignFile(const std::filesystem::path& unsignedFile, const std::filesystem::path& output,
             const SignOptions& options, std::string* error);

// verify's line about file's signature: none, or where its certificate table lies and that it
// covers the whole file; empty for a payload archive, which has no place for one. A table that
// lies wrong, leaves bytes after it unsigned or holds malformed entries adds a problem and gives
// 0.
int DescribeSignature(const std::filesystem::path& file, std::string* line,
                      std::vector<std::string>* problems);
