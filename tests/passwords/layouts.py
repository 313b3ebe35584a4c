#!/usr/bin/python3
# Stored passwords in the formats whose applications Debian does not ship,
# computed with hashlib from each application's published layout, never with
# the agent's code. Fixed salts, so the output is the same on every run:
#   /usr/bin/python3 tests/passwords/layouts.py NAME     prints "NAME | value"
# for vectors.txt. The password is Zq9secret, as for every vector there.
import base64
import hashlib
import struct
import sys

from passlib.utils.binary import h64

PASSWORD = b"Zq9secret"
SALT16 = hashlib.sha256(b"layouts.py").digest()[:16]
# The 64 characters of crypt(3)'s base64, in the order of their values.
ITOA64 = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"


def aspnet_identity_v3():
    # ASP.NET Core Identity, PasswordHasher.cs (src/Identity/Extensions.Core):
    # { 0x01, prf (uint32), iteration count (uint32), salt length (uint32),
    #   salt, subkey }, big-endian; prf 0 HMAC-SHA1, 1 HMAC-SHA256, 2 HMAC-SHA512
    # (KeyDerivationPrf). .NET 7's defaults: HMAC-SHA512, 100,000, 16, 32.
    subkey = hashlib.pbkdf2_hmac("sha512", PASSWORD, SALT16, 100000, 32)
    return base64.b64encode(struct.pack(">BIII", 1, 2, 100000, 16) + SALT16 + subkey).decode()


def aspnet_identity_v2():
    # The same file: { 0x00, salt (16), subkey (32) }, PBKDF2-HMAC-SHA1, 1,000.
    return base64.b64encode(b"\x00" + SALT16 + hashlib.pbkdf2_hmac("sha1", PASSWORD, SALT16, 1000, 32)).decode()


def drupal_crypt(password, setting):
    # Drupal 7's includes/password.inc, _password_crypt('sha512', ...): the
    # setting is "$S$", the log2 of the count
    # as one ITOA64 character, 8 characters of salt; the output is cut to 55.
    count = 1 << ITOA64.index(setting[3])
    digest = hashlib.sha512(setting[4:12].encode() + password).digest()
    for _ in range(count):
        digest = hashlib.sha512(digest + password).digest()
    # _password_base64_encode is phpass's encoding: passlib's h64, as its phpass uses.
    return (setting + h64.encode_bytes(digest).decode())[:55]


def drupal7_sha512():
    return drupal_crypt(PASSWORD, "$S$DsaltSALT")  # "D": 2^15, Drupal 7's default


def drupal7_md5():
    # user_update_7000: an old md5() hash rehashed as the password, "U" before it.
    return "U" + drupal_crypt(hashlib.md5(PASSWORD).hexdigest().encode(), "$S$DsaltSALT")


def spring_pbkdf2(digest, salt, iterations):
    # Spring Security's Pbkdf2PasswordEncoder.java (crypto/password): hex of
    # salt then PBKDF2(password, salt + secret, iterations, 256 bits); the
    # secret is empty.
    return (salt + hashlib.pbkdf2_hmac(digest, PASSWORD, salt, iterations, 32)).hex()


def spring_pbkdf2_v5_5():
    # {pbkdf2} is defaultsForSpringSecurity_v5_5: 8-byte salt, HMAC-SHA1, 185,000.
    return "{pbkdf2}" + spring_pbkdf2("sha1", SALT16[:8], 185000)


def spring_pbkdf2_v5_8():
    # {pbkdf2@SpringSecurity_v5_8}: 16-byte salt, HMAC-SHA256, 310,000.
    return "{pbkdf2@SpringSecurity_v5_8}" + spring_pbkdf2("sha256", SALT16, 310000)


def spring_scrypt():
    # Spring Security's SCryptPasswordEncoder.java (crypto/scrypt): "$" hex of
    # (log2 N << 16 | r << 8 | p) "$" base64(salt) "$" base64(key);
    # defaultsForSpringSecurity_v4_1: N 16384, r 8, p 1, a 32-byte key, a 64-byte salt.
    salt = hashlib.sha512(b"layouts.py").digest()
    key = hashlib.scrypt(PASSWORD, salt=salt, n=16384, r=8, p=1, dklen=32)
    params = "%x" % (14 << 16 | 8 << 8 | 1)
    return "{scrypt}$%s$%s$%s" % (params, base64.b64encode(salt).decode(), base64.b64encode(key).decode())


def spring_sha256():
    # Spring Security's StandardPasswordEncoder.java: hex of an 8-byte salt then
    # SHA-256 applied 1,024 times to salt + secret + password; the secret is empty.
    salt = SALT16[:8]
    digest = salt + PASSWORD
    for _ in range(1024):
        digest = hashlib.sha256(digest).digest()
    return "{sha256}" + (salt + digest).hex()


def werkzeug_scrypt():
    # Werkzeug 3's src/werkzeug/security.py: "scrypt:n:r:p$salt$hex",
    # hashlib.scrypt of the password and the salt's text, 64 bytes; its defaults
    # N 2^15, r 8, p 1.
    salt = "gT4vWq0mXcLp2sYd"
    key = hashlib.scrypt(PASSWORD, salt=salt.encode(), n=32768, r=8, p=1, maxmem=132 * 32768 * 8, dklen=64)
    return "scrypt:32768:8:1$%s$%s" % (salt, key.hex())


def django_scrypt():
    # Django 4's ScryptPasswordHasher (django/contrib/auth/hashers.py):
    # "scrypt$n$salt$r$p$" base64 of 64 bytes of hashlib.scrypt; its defaults
    # N 2^14, r 8, p 1.
    salt = "Vb3kXq9ZrT2mLp0s"
    key = hashlib.scrypt(PASSWORD, salt=salt.encode(), n=16384, r=8, p=1, dklen=64)
    return "scrypt$16384$%s$8$1$%s" % (salt, base64.b64encode(key).decode())


for name in sys.argv[1:]:
    print("%s | %s" % (name, globals()[name]()))
