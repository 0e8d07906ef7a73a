// The sealed Tap datagram through libgcrypt: key derivation, the AEAD, and
// the datagram's layout.
#include "wire/sealed_datagram.h"

#include <gcrypt.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/text.h"
#include "support/trace_log.h"
#include "support/byte_order.h"
#include "platform/platform.h"

namespace {

void nonce_of(std::uint64_t seq, std::uint8_t nonce[sealed_nonce_size])
{
    std::memset(nonce, 0, 4);
    store_be64(nonce + 4, seq);
}

// ChaCha20-Poly1305 as RFC 8439 has it: the associated data, then the
// data, then the tag.
int aead_begin(sealed_cipher& c, const std::uint8_t nonce[sealed_nonce_size], const std::uint8_t* ad,
          std::size_t ad_len)
{
    return gcry_cipher_setiv(c.h, nonce, sealed_nonce_size) == 0 &&
                   gcry_cipher_authenticate(c.h, ad, ad_len) == 0
               ? 0
               : -1;
}

// The library's own lines: its notes (on Windows the random generator's
// "you should run 'diskperf -y'") are not ours to show; a warning or
// worse reaches the trace log.
void library_log(void*, int level, const char* format, va_list args)
{
    if (level < GCRY_LOG_WARN)
        return;
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    text[std::strcspn(text, "\n")] = '\0';
    trace_log(level >= GCRY_LOG_ERROR ? trace_level_error : trace_level_warning, "libgcrypt", 0, "%s",
              text);
}

// The secure pool at start, and each step it grows by: a few cipher
// handles and keys.
constexpr unsigned secure_pool_bytes = 32768;

bool is_hex_key(const char* text, std::size_t len)
{
    if (len != sealed_key_digits)
        return false;
    for (std::size_t i = 0; i < len; ++i)
        if (hex_digit(text[i]) < 0)
            return false;
    return true;
}

}  // namespace

int sealed_crypto_init()
{
    gcry_set_log_handler(library_log, nullptr);
    // Argon2 came with 1.10.
    if (!gcry_check_version("1.10.0"))
        return -1;
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
        // Locked pages need privileges (or a memory-lock limit) that a tap
        // may lack: without them the pool is ordinary memory, and the
        // library neither fails nor warns. The pool holds the cipher
        // handles and the collector's master key; it grows when it must.
        gcry_control(GCRYCTL_DISABLE_SECMEM_WARN);
        gcry_control(GCRYCTL_INIT_SECMEM, secure_pool_bytes, 0);
        gcry_control(GCRYCTL_AUTO_EXPAND_SECMEM, secure_pool_bytes);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    return 0;
}

int sealed_argon2id(const void* pass, std::size_t pass_len, const void* salt, std::size_t salt_len,
                    const void* secret, std::size_t secret_len, const void* ad, std::size_t ad_len,
                    const unsigned long params[3], std::uint8_t* out, std::size_t out_len)
{
    const unsigned long p[4] = {static_cast<unsigned long>(out_len), params[0], params[1], params[2]};
    gcry_kdf_hd_t h = nullptr;
    if (gcry_kdf_open(&h, GCRY_KDF_ARGON2, GCRY_KDF_ARGON2ID, p, 4, pass, pass_len, salt, salt_len,
                      secret, secret_len, ad, ad_len) != 0)
        return -1;
    const bool ok = gcry_kdf_compute(h, nullptr) == 0 && gcry_kdf_final(h, out_len, out) == 0;
    gcry_kdf_close(h);
    return ok ? 0 : -1;
}

const char* sealed_key_refusal(const char* text, std::size_t len, bool sealed, bool have_salt)
{
    if (len > 0 && text[0] == '-')
        return "The key begins with '-', as an option does: was the key left out before the next "
               "option? Give a key that does not begin with '-'";
    if (!sealed || is_hex_key(text, len))
        return nullptr;
    if (len == sizeof sealed_sample_key - 1 && equals_nocase({text, len}, sealed_sample_key))
        return "The sample key 'mango' is refused with -A: make a key of your own with "
               "'vantry_collector --generate-key'";
    if (len < sealed_passphrase_min)
        return "The key is a passphrase shorter than 16 characters, refused with -A: give a longer "
               "one, or a key of 64 hexadecimal digits ('vantry_collector --generate-key')";
    if (!have_salt)
        return "A passphrase needs --salt with -A: give --salt TEXT (the same on the tap and the "
               "collector, its own for each site), or a key of 64 hexadecimal digits "
               "('vantry_collector --generate-key')";
    return nullptr;
}

int sealed_master_key(const char* text, std::size_t len, const char* salt, std::size_t salt_len,
                      std::uint8_t out[sealed_key_size])
{
    if (is_hex_key(text, len)) {
        for (std::size_t i = 0; i < sealed_key_size; ++i)
            out[i] = static_cast<std::uint8_t>(hex_digit(text[2 * i]) << 4 | hex_digit(text[2 * i + 1]));
        return 0;
    }
    static constexpr unsigned long params[3] = {sealed_kdf_passes, sealed_kdf_memory_kib,
                                                sealed_kdf_lanes};
    // Not secret, but of any length: built once per start.
    std::string salted(sealed_kdf_salt_label, sizeof sealed_kdf_salt_label - 1);
    salted.append(salt, salt_len);
    return sealed_argon2id(text, len, salted.data(), salted.size(), nullptr, 0, nullptr, 0, params,
                           out, sealed_key_size);
}

int sealed_generate_key(char out[sealed_key_digits + 1])
{
    if (sealed_crypto_init() != 0)
        return -1;
    std::uint8_t key[sealed_key_size];
    // The level the library names for long-term keys.
    gcry_randomize(key, sizeof key, GCRY_VERY_STRONG_RANDOM);
    for (std::size_t i = 0; i < sealed_key_size; ++i) {
        out[2 * i] = "0123456789abcdef"[key[i] >> 4];
        out[2 * i + 1] = "0123456789abcdef"[key[i] & 15];
    }
    out[sealed_key_digits] = '\0';
    sealed_wipe(key, sizeof key);
    return 0;
}

int sealed_read_key_file(const char* path, char* out, std::size_t out_cap, std::size_t* len, char* msg,
                         std::size_t msg_cap)
{
    int error = 0;
    const int r = key_file_read(path, out, out_cap, len, &error);
    switch (r) {
    case key_file_ok:
        if (*len > 0)
            return 0;
        std::snprintf(msg, msg_cap,
                      "Key file '%s': its first line is empty: write the key on it "
                      "('vantry_collector --generate-key > %s')",
                      path, path);
        return -1;
    case key_file_not_regular:
        std::snprintf(msg, msg_cap, "Key file '%s' is not a regular file: give the file that holds the key",
                      path);
        return -1;
    case key_file_open_to_all:
        std::snprintf(msg, msg_cap,
                      "Key file '%s' may be read or written by any user: take those rights away "
                      "(chmod 640 '%s', or 600)",
                      path, path);
        return -1;
    case key_file_line_too_long:
        std::snprintf(msg, msg_cap, "Key file '%s': its first line is longer than %zu characters", path,
                      out_cap - 1);
        return -1;
    case key_file_not_text:
        std::snprintf(msg, msg_cap, "Key file '%s': its first line holds a null byte: write the key as text",
                      path);
        return -1;
    default:
        std::snprintf(msg, msg_cap, "Unable to read key file '%s' %d/%s", path, error, os_error_text(error));
        return -1;
    }
}

std::uint8_t* sealed_key_alloc()
{
    if (sealed_crypto_init() != 0)
        return nullptr;
    return static_cast<std::uint8_t*>(gcry_calloc_secure(1, sealed_key_size));
}

void sealed_key_free(std::uint8_t* key)
{
    if (!key)
        return;
    sealed_wipe(key, sealed_key_size);
    gcry_free(key);
}

int sealed_run_key(const std::uint8_t master[sealed_key_size],
                   const std::uint8_t run_id[sealed_run_id_size], std::uint8_t out[sealed_key_size])
{
    // The first buffer is the HMAC key.
    gcry_buffer_t parts[3] = {};
    parts[0].size = parts[0].len = sealed_key_size;
    parts[0].data = const_cast<std::uint8_t*>(master);
    parts[1].size = parts[1].len = sizeof sealed_run_label - 1;
    parts[1].data = const_cast<char*>(sealed_run_label);
    parts[2].size = parts[2].len = sealed_run_id_size;
    parts[2].data = const_cast<std::uint8_t*>(run_id);
    return gcry_md_hash_buffers(GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC, out, parts, 3) == 0 ? 0 : -1;
}

void sealed_wipe(void* p, std::size_t n)
{
    // Through a volatile pointer: a store the compiler may not drop.
    volatile std::uint8_t* b = static_cast<volatile std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = 0;
}

void sealed_new_run_id(std::uint8_t out[sealed_run_id_size])
{
    gcry_randomize(out, sealed_run_id_size, GCRY_STRONG_RANDOM);
}

int sealed_cipher_open(sealed_cipher* c)
{
    gcry_cipher_hd_t h = nullptr;
    // The handle holds the key schedule: in secure memory with the rest.
    if (gcry_cipher_open(&h, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305, GCRY_CIPHER_SECURE) != 0)
        return -1;
    c->h = h;
    return 0;
}

void sealed_cipher_close(sealed_cipher* c)
{
    gcry_cipher_close(c->h);
    c->h = nullptr;
}

int sealed_cipher_key(sealed_cipher& c, const std::uint8_t key[sealed_key_size])
{
    return gcry_cipher_setkey(c.h, key, sealed_key_size) == 0 ? 0 : -1;
}

int sealed_aead_seal(sealed_cipher& c, const std::uint8_t nonce[sealed_nonce_size],
                     const std::uint8_t* ad, std::size_t ad_len, std::uint8_t* data,
                     std::size_t len, std::uint8_t tag[sealed_tag_size])
{
    return aead_begin(c, nonce, ad, ad_len) == 0 && gcry_cipher_final(c.h) == 0 &&
                   gcry_cipher_encrypt(c.h, data, len, nullptr, 0) == 0 &&
                   gcry_cipher_gettag(c.h, tag, sealed_tag_size) == 0
               ? 0
               : -1;
}

int sealed_aead_open(sealed_cipher& c, const std::uint8_t nonce[sealed_nonce_size],
                     const std::uint8_t* ad, std::size_t ad_len, std::uint8_t* data,
                     std::size_t len, const std::uint8_t tag[sealed_tag_size])
{
    return aead_begin(c, nonce, ad, ad_len) == 0 && gcry_cipher_final(c.h) == 0 &&
                   gcry_cipher_decrypt(c.h, data, len, nullptr, 0) == 0 &&
                   gcry_cipher_checktag(c.h, tag, sealed_tag_size) == 0
               ? 0
               : -1;
}

int sealed_sender_open(sealed_sender* s, const std::uint8_t master[sealed_key_size])
{
    std::uint8_t key[sealed_key_size];
    sealed_new_run_id(s->run_id);
    s->next_seq = 0;
    const bool ok = sealed_run_key(master, s->run_id, key) == 0 && sealed_cipher_open(&s->cipher) == 0 &&
                    sealed_cipher_key(s->cipher, key) == 0;
    sealed_wipe(key, sizeof key);
    if (ok)
        return 0;
    if (s->cipher.h)
        sealed_cipher_close(&s->cipher);
    return -1;
}

void sealed_write_header(std::uint8_t* p, std::uint16_t tap_id)
{
    tap_write_header(p, tap_id);
    store_le32(p, sealed_magic);
    std::memset(p + tap_header_size, 0, sealed_header_size - tap_header_size);
}

void sealed_write_pieces(std::uint8_t* p, std::uint32_t first_frame, std::uint16_t first_record)
{
    store_be32(p + sealed_first_frame_offset, first_frame);
    store_be16(p + sealed_first_record_offset, first_record);
}

namespace {

// The counters in the order the datagram carries them.
std::uint64_t tap_statistics::* const statistics_fields[tap_statistics_count] = {
    &tap_statistics::run_start_us,   &tap_statistics::received,       &tap_statistics::capture_drops,
    &tap_statistics::interface_drops, &tap_statistics::allow_list_out, &tap_statistics::rate_cap_out,
    &tap_statistics::frames_sent,    &tap_statistics::datagrams_sent, &tap_statistics::datagrams_failed,
};

}  // namespace

void sealed_write_statistics(std::uint8_t* p, const tap_statistics& s)
{
    store_be16(p, tap_statistics_count);
    store_be16(p + 2, 0);
    for (std::size_t i = 0; i < tap_statistics_count; ++i)
        store_be64(p + 4 + 8 * i, s.*statistics_fields[i]);
}

int sealed_read_statistics(const std::uint8_t* p, std::size_t len, tap_statistics* out)
{
    *out = tap_statistics{};
    if (len < 4)
        return -1;
    const std::size_t n = load_be16(p);
    if (len < 4 + 8 * n)
        return -1;
    for (std::size_t i = 0; i < n && i < tap_statistics_count; ++i)
        out->*statistics_fields[i] = load_be64(p + 4 + 8 * i);
    return 0;
}

std::uint32_t sealed_seal_at(sealed_sender& s, std::uint8_t* buf, std::uint32_t len,
                             std::uint64_t sent_us)
{
    std::memcpy(buf + sealed_run_id_offset, s.run_id, sealed_run_id_size);
    store_be64(buf + sealed_seq_offset, s.next_seq);
    store_be64(buf + sealed_sent_offset, sent_us);
    std::uint8_t nonce[sealed_nonce_size];
    nonce_of(s.next_seq, nonce);
    if (sealed_aead_seal(s.cipher, nonce, buf, sealed_header_size, buf + sealed_header_size,
                         len - sealed_header_size, buf + len) != 0)
        return 0;
    // Used once: a number that sealed anything is never used again.
    ++s.next_seq;
    return len + sealed_tag_size;
}

std::uint32_t sealed_seal(sealed_sender& s, std::uint8_t* buf, std::uint32_t len)
{
    return sealed_seal_at(s, buf, len, clock_unix_us());
}

bool sealed_magic_at(const std::uint8_t* data, std::size_t len)
{
    return len >= 4 && (load_le32(data) == sealed_magic || load_le32(data) == sealed_magic_format1);
}

sealed_result sealed_read_header(const std::uint8_t* data, std::size_t len, sealed_header_view* out)
{
    if (!sealed_magic_at(data, len))
        return sealed_not_sealed;
    if (load_le32(data) != sealed_magic)
        return sealed_old_format;
    if (len < sealed_overhead)
        return sealed_too_short;
    out->tap_id = static_cast<std::uint16_t>(data[4] << 8 | data[5]);
    out->run_id = data + sealed_run_id_offset;
    out->record_count = data[tap_count_offset];
    out->kind = data[sealed_kind_offset];
    out->seq = load_be64(data + sealed_seq_offset);
    out->sent_us = load_be64(data + sealed_sent_offset);
    out->first_frame = load_be32(data + sealed_first_frame_offset);
    out->first_record = load_be16(data + sealed_first_record_offset);
    return sealed_read_ok;
}

sealed_result sealed_open(sealed_cipher& c, std::uint8_t* data, std::size_t len,
                          std::size_t* body_at, std::size_t* body_len)
{
    sealed_header_view h;
    if (const sealed_result r = sealed_read_header(data, len, &h); r != sealed_read_ok)
        return r;
    std::uint8_t nonce[sealed_nonce_size];
    nonce_of(h.seq, nonce);
    const std::size_t body = len - sealed_overhead;
    if (sealed_aead_open(c, nonce, data, sealed_header_size, data + sealed_header_size, body,
                         data + len - sealed_tag_size) != 0)
        return sealed_forged;
    *body_at = sealed_header_size;
    *body_len = body;
    return sealed_read_ok;
}

int sealed_read_body(const std::uint8_t* body, std::size_t len, const sealed_header_view& h,
                     sealed_body* out)
{
    out->count = 0;
    out->last_cut = false;
    out->cut_have = 0;
    if (h.first_record > len || (h.record_count == 0 && h.first_record != len))
        return -1;
    out->rest = body;
    out->rest_len = h.first_record;
    std::size_t at = h.first_record;
    while (at < len) {
        if (out->count == h.record_count || len - at < tap_record_header_size)
            return -1;
        const std::uint8_t* p = body + at;
        tap_record_view& r = out->records[out->count++];
        r.ts_sec = load_be32(p);
        r.ts_usec = load_be32(p + 4);
        r.caplen = load_be16(p + 8);
        r.len = load_be16(p + 10);
        r.frame = p + tap_record_header_size;
        const std::size_t left = len - at - tap_record_header_size;
        if (r.caplen > left) {
            out->last_cut = true;
            out->cut_have = static_cast<std::uint32_t>(left);
            at = len;
        } else {
            at += tap_record_header_size + r.caplen;
        }
    }
    return out->count == h.record_count ? 0 : -1;
}

const char* sealed_text(sealed_result r)
{
    switch (r) {
    case sealed_read_ok:
        return "ok";
    case sealed_not_sealed:
        return "not a sealed datagram (a Speck-mode tap, or noise)";
    case sealed_old_format:
        return "sealed in format 1 by an older tap: update the tap";
    case sealed_too_short:
        return "too short for a sealed datagram";
    case sealed_forged:
        return "not authentic (altered, cut, or another key)";
    }
    return "unknown";
}
