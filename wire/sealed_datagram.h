// The sealed Tap datagram (option -A): the authenticated mode of the
// contract with the collector, beside the Speck mode of tap_datagram.h, all of
// it in this one place. docs/wire.md tells the why of each choice.
//
//   header   magic 0x24681904 (little-endian; format 2), tap id (16 bits),
//            record count (8 bits: records that start here), kind (8
//            bits: 0 frames, 1 the tap's statistics), run id (16 bytes), sequence number (64 bits), send
//            time (64 bits, microseconds since 1970 UTC), number of the
//            first frame that starts here (32 bits), where that frame's
//            record starts in the body (16 bits), two reserved zero bytes;
//            in clear, authenticated
//   body     the rest of a frame begun in the datagrams before, then
//            records as in the Speck mode, the last of which may go on in
//            the next datagram; encrypted
//   tag      16 bytes at the end
//   cipher   ChaCha20-Poly1305 (libgcrypt) under the run key, nonce = four
//            zero bytes and the sequence number (big-endian); the header is
//            the associated data
//   keys     master = the key of 64 hexadecimal digits itself, or
//            Argon2id(passphrase, salt label || --salt, t=2, m=19456 KiB,
//            p=1); run key = HMAC-SHA256(master, run label || run id)
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/tap_datagram.h"

struct gcry_cipher_handle;

inline constexpr std::uint32_t sealed_magic = 0x24681904;
// Format 1 (no send time): refused by name, so that an old tap is told apart
// from noise.
inline constexpr std::uint32_t sealed_magic_format1 = 0x24681903;
inline constexpr std::uint32_t sealed_run_id_offset = 8;
inline constexpr std::uint32_t sealed_run_id_size = 16;
inline constexpr std::uint32_t sealed_seq_offset = 24;
inline constexpr std::uint32_t sealed_kind_offset = 7;
inline constexpr std::uint32_t sealed_sent_offset = 32;
inline constexpr std::uint32_t sealed_first_frame_offset = 40;
inline constexpr std::uint32_t sealed_first_record_offset = 44;
inline constexpr std::uint32_t sealed_header_size = 48;
inline constexpr std::uint32_t sealed_tag_size = 16;
inline constexpr std::uint32_t sealed_overhead = sealed_header_size + sealed_tag_size;
inline constexpr std::uint32_t sealed_key_size = 32;
inline constexpr std::uint32_t sealed_nonce_size = 12;

// Argon2id, once per process start, never per datagram.
inline constexpr unsigned long sealed_kdf_passes = 2;
inline constexpr unsigned long sealed_kdf_memory_kib = 19456;
inline constexpr unsigned long sealed_kdf_lanes = 1;
// Put before the --salt text, so that a short salt still makes a salt of
// the length Argon2id asks for, and a salt of ours differs from any other
// program's.
inline constexpr char sealed_kdf_salt_label[] = "vantry tap datagram salt v2:";
inline constexpr char sealed_run_label[] = "vantry tap run key v1";

// Key texts under -A: 64 hexadecimal digits are the master key itself;
// anything else is a passphrase of at least sealed_passphrase_min
// characters, never the sample key of the help texts.
inline constexpr std::size_t sealed_key_digits = 2 * sealed_key_size;
inline constexpr std::size_t sealed_passphrase_min = 16;
inline constexpr char sealed_sample_key[] = "mango";

// Checks the library's version and turns on its secure memory: a small
// pool, locked where the system lets us, its warnings off, so that an
// unprivileged run says nothing and goes on in ordinary memory. Safe to
// call again. 0, or -1 when the library is older than the one built
// against.
int sealed_crypto_init();

// Argon2id of a password, with the optional secret and associated data of
// the algorithm. 0, or -1 when the library refuses.
int sealed_argon2id(const void* pass, std::size_t pass_len, const void* salt, std::size_t salt_len,
                    const void* secret, std::size_t secret_len, const void* ad, std::size_t ad_len,
                    const unsigned long params[3], std::uint8_t* out, std::size_t out_len);

// Why a key text (of -k or a key file) cannot be used, as the message to
// print, which says what to do instead; null when it can. One policy for
// the tap and the collector. In either mode a text that begins with '-' is
// refused: it is an option word that took the place of the key. Under -A
// (sealed) a passphrase is refused when it is the sample key (in any case),
// shorter than sealed_passphrase_min, or given without a salt (have_salt:
// a --salt that is not empty).
// In the Speck mode every other text is the key, as it always was.
const char* sealed_key_refusal(const char* text, std::size_t len, bool sealed, bool have_salt);

// The master key of a key text that sealed_key_refusal accepts under -A:
// 64 hexadecimal digits read as they are, a passphrase through Argon2id
// with the parameters above and the salt label followed by salt. 0, or -1
// when the library refuses.
int sealed_master_key(const char* text, std::size_t len, const char* salt, std::size_t salt_len,
                      std::uint8_t out[sealed_key_size]);

// A key for --key-file and -k: sealed_key_size bytes from the library's
// random generator for long-term keys, as 64 lowercase hexadecimal digits
// and a null. 0, or -1 when the library cannot start.
int sealed_generate_key(char out[sealed_key_digits + 1]);

// The first line of a key file into out (key_file_line_max characters at
// most, null-terminated): 0 and its length in *len, or -1 with the message
// that names the file and says what to do in msg (msg_cap bytes).
int sealed_read_key_file(const char* path, char* out, std::size_t out_cap, std::size_t* len, char* msg,
                         std::size_t msg_cap);

// Room for one key in the library's secure memory (locked where the system
// allows it, ordinary memory otherwise), zeroed; null when none is left.
std::uint8_t* sealed_key_alloc();

// Wipes and releases a key of sealed_key_alloc; null is ignored.
void sealed_key_free(std::uint8_t* key);

// The key of one tap run. 0 or -1.
int sealed_run_key(const std::uint8_t master[sealed_key_size],
                   const std::uint8_t run_id[sealed_run_id_size], std::uint8_t out[sealed_key_size]);

// Overwrites n bytes of key material.
void sealed_wipe(void* p, std::size_t n);

// A fresh run id from the library's strong random generator.
void sealed_new_run_id(std::uint8_t out[sealed_run_id_size]);

// One ChaCha20-Poly1305 handle, opened once, keyed as often as needed.
struct sealed_cipher {
    gcry_cipher_handle* h = nullptr;
};

// 0, or -1 (nothing open then).
int sealed_cipher_open(sealed_cipher* c);
void sealed_cipher_close(sealed_cipher* c);
int sealed_cipher_key(sealed_cipher& c, const std::uint8_t key[sealed_key_size]);

// The AEAD itself, in place: 0, or -1 (for open: the tag does not match,
// and data is then unspecified).
int sealed_aead_seal(sealed_cipher& c, const std::uint8_t nonce[sealed_nonce_size],
                     const std::uint8_t* ad, std::size_t ad_len, std::uint8_t* data,
                     std::size_t len, std::uint8_t tag[sealed_tag_size]);
int sealed_aead_open(sealed_cipher& c, const std::uint8_t nonce[sealed_nonce_size],
                     const std::uint8_t* ad, std::size_t ad_len, std::uint8_t* data,
                     std::size_t len, const std::uint8_t tag[sealed_tag_size]);

// What a tap run seals with: its keyed handle, run id and next number.
struct sealed_sender {
    sealed_cipher cipher;
    std::uint8_t run_id[sealed_run_id_size] = {};
    std::uint64_t next_seq = 0;
};

// Draws a run id, derives its key from master and opens the handle. 0 or
// -1 (closed then).
int sealed_sender_open(sealed_sender* s, const std::uint8_t master[sealed_key_size]);

// Writes the header of a sealed datagram with no records yet; the run id
// and number are filled in when it is sealed.
void sealed_write_header(std::uint8_t* p, std::uint16_t tap_id);

// Seals the datagram of len bytes (header and records) in place, with the
// stream's next number and the send time sent_us, and appends the tag:
// len + sealed_tag_size, or 0 when the library failed (the number is then
// not used up). sealed_seal takes the time from the system clock.
std::uint32_t sealed_seal_at(sealed_sender& s, std::uint8_t* buf, std::uint32_t len,
                             std::uint64_t sent_us);
std::uint32_t sealed_seal(sealed_sender& s, std::uint8_t* buf, std::uint32_t len);

// What a sealed datagram carries: frames, or the tap's statistics (a body
// of counters, tap_statistics).
enum sealed_kind : std::uint8_t { sealed_kind_frames = 0, sealed_kind_statistics = 1 };

struct sealed_header_view {
    std::uint16_t tap_id = 0;
    std::uint8_t record_count = 0;
    std::uint8_t kind = sealed_kind_frames;
    const std::uint8_t* run_id = nullptr;
    std::uint64_t seq = 0;
    std::uint64_t sent_us = 0;  // the tap's clock; authentic once the datagram verified
    std::uint32_t first_frame = 0;   // frames are numbered from the run's start, modulo 2^32
    std::uint16_t first_record = 0;  // bytes of the body before the first record
};

// The counters of a tap run, as its statistics datagrams carry them: the
// body is a count N (16 bits), two zero bytes, then N counters of 64 bits,
// in this order. A reader takes the ones it knows and leaves any after
// them; a tap that has fewer sends fewer, the rest read as 0.
struct tap_statistics {
    std::uint64_t run_start_us = 0;     // when the run started, the tap's clock
    std::uint64_t received = 0;         // frames captured, or arrived by TZSP
    std::uint64_t capture_drops = 0;    // dropped by the capture library
    std::uint64_t interface_drops = 0;  // dropped by the interface
    std::uint64_t allow_list_out = 0;   // frames the allow-list (-H) left out
    std::uint64_t rate_cap_out = 0;     // frames the rate cap (-R) left out
    std::uint64_t frames_sent = 0;      // frames put into datagrams
    std::uint64_t datagrams_sent = 0;
    std::uint64_t datagrams_failed = 0;  // datagrams the system would not send
};
inline constexpr std::size_t tap_statistics_count = 9;
inline constexpr std::size_t sealed_statistics_size = 4 + tap_statistics_count * 8;

// Writes the statistics body of s at p (sealed_statistics_size bytes).
void sealed_write_statistics(std::uint8_t* p, const tap_statistics& s);

// Reads a statistics body of len bytes. 0; -1 when it is shorter than its
// count says.
int sealed_read_statistics(const std::uint8_t* p, std::size_t len, tap_statistics* out);

// Sets the fields that tell how the body of the datagram at p is cut: the
// number of the first frame whose record starts in it (with none, of the
// next frame to start), and where that record starts in the body.
void sealed_write_pieces(std::uint8_t* p, std::uint32_t first_frame, std::uint16_t first_record);

// True when data begins with a sealed magic, of this format or of format 1:
// a datagram of the sealed mode, whichever its format.
bool sealed_magic_at(const std::uint8_t* data, std::size_t len);

enum sealed_result : int {
    sealed_read_ok = 0,
    sealed_not_sealed = -1,  // another magic (a Speck datagram, or noise)
    sealed_old_format = -4,  // format 1, from a tap older than this collector
    sealed_too_short = -2,   // no room for header and tag
    sealed_forged = -3,      // the tag does not match: altered, cut, or another key
};

// Reads the clear header of data[0..len).
sealed_result sealed_read_header(const std::uint8_t* data, std::size_t len, sealed_header_view* out);

// Verifies and decrypts data[0..len) in place with c, keyed with the run's
// key. On sealed_read_ok the clear body is data[*body_at, *body_at +
// *body_len); sealed_read_body reads it.
sealed_result sealed_open(sealed_cipher& c, std::uint8_t* data, std::size_t len,
                          std::size_t* body_at, std::size_t* body_len);

// A clear body read: the rest of a frame begun before, the records that
// start here, whole but for the last, which may go on in the next
// datagram (then its frame holds only the first `cut_have` bytes).
struct sealed_body {
    const std::uint8_t* rest = nullptr;
    std::size_t rest_len = 0;
    tap_record_view records[tap_max_records];
    unsigned count = 0;
    bool last_cut = false;
    std::uint32_t cut_have = 0;
};

// Reads body[0, len) as header h says it is cut. 0; -1 when it is not
// what a tap builds (a first record past the end, a record header cut, a
// count that does not match, records where none should start): a tap
// with the key sealed something wrong, and nothing of it is used.
int sealed_read_body(const std::uint8_t* body, std::size_t len, const sealed_header_view& h,
                     sealed_body* out);

const char* sealed_text(sealed_result r);
