#!/usr/bin/env bash
# Signs the installer with Authenticode into a separate file. The unsigned input
# is only ever read: it is the file that a rebuild of the same commit gives back
# byte for byte, while the signed copy carries a signing time and the vendor's
# certificate, which no rebuild can reproduce.
set -euo pipefail

DESCRIPTION="Lanternfold Installer"

usage() {
  cat <<EOF
Usage: tools/sign.sh (--pkcs12 FILE | --cert FILE --key FILE) [options] INPUT OUTPUT

Signs INPUT with Authenticode (SHA-256 digest, description "$DESCRIPTION") and
writes the signed copy to OUTPUT, replacing it if it exists. INPUT is left as it
is; OUTPUT must be another file.

The key, in one of two forms:
  --pkcs12 FILE          a PKCS#12 file with the code-signing certificate, its
                         chain and the private key
  --cert FILE --key FILE the PEM code-signing certificate (followed by any
                         intermediate certificates) and its PEM private key

Options:
  --password-file FILE   the password of the PKCS#12 file or of the private key
                         is the first line of FILE; without this option it is
                         taken from the environment variable INSTALLER_SIGN_PASSWORD
                         if that is set, else there is none
  --timestamp URL        have the signature countersigned by this RFC 3161
                         timestamp server; give it again for servers to fall
                         back on. Signing fails if none of them answers.
  --url URL              the web address shown with the description
  -h, --help             show this help
EOF
}

fail() {
  echo "sign.sh: $1" >&2
  echo "Run tools/sign.sh --help for the usage." >&2
  exit 2
}

pkcs12="" cert="" key="" password_file="" url=""
timestamps=()
positional=()
while (($#)); do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --pkcs12 | --cert | --key | --password-file | --timestamp | --url)
      (($# >= 2)) || fail "$1 needs a value"
      [ -n "$2" ] || fail "$1 needs a non-empty value"
      case "$1" in
        --pkcs12) pkcs12="$2" ;;
        --cert) cert="$2" ;;
        --key) key="$2" ;;
        --password-file) password_file="$2" ;;
        --timestamp) timestamps+=("$2") ;;
        --url) url="$2" ;;
      esac
      shift 2 ;;
    --) shift; positional+=("$@"); break ;;
    -*) fail "unknown option $1" ;;
    *) positional+=("$1"); shift ;;
  esac
done

((${#positional[@]} == 2)) || fail "expected INPUT and OUTPUT, got ${#positional[@]} file name(s)"
input="${positional[0]}" output="${positional[1]}"

if [ -n "$pkcs12" ] && [ -n "$cert$key" ]; then
  fail "give either --pkcs12 or --cert with --key, not both"
elif [ -n "$pkcs12" ]; then
  key_args=(-pkcs12 "$pkcs12")
elif [ -n "$cert" ] && [ -n "$key" ]; then
  key_args=(-certs "$cert" -key "$key")
elif [ -n "$cert" ] || [ -n "$key" ]; then
  fail "--cert and --key go together"
else
  fail "no key: give --pkcs12 FILE, or --cert FILE with --key FILE"
fi

for file in "$input" "$pkcs12" "$cert" "$key" "$password_file"; do
  if [ -n "$file" ] && ! { [ -f "$file" ] && [ -r "$file" ]; }; then
    fail "cannot read $file"
  fi
done
[ -d "$(dirname -- "$output")" ] || fail "the folder of $output does not exist"
# An output that is the input itself, under any name, would overwrite the very
# bytes that are meant to stay reproducible.
[ ! "$input" -ef "$output" ] || fail "OUTPUT is INPUT; the signed copy must go to another file"
for url_value in "$url" "${timestamps[@]}"; do
  [[ -z "$url_value" || "$url_value" =~ ^https?:// ]] || fail "not an http(s) address: $url_value"
done

command -v osslsigncode >/dev/null ||
  { echo "sign.sh: osslsigncode is not installed; run tools/install-deps.sh" >&2; exit 1; }

# The password goes to osslsigncode through a pipe that only it can read, so it
# never shows in the process list the way an argument would.
password_args=()
if [ -n "$password_file" ]; then
  password_args=(-readpass "$password_file")
elif [ -n "${INSTALLER_SIGN_PASSWORD+set}" ]; then
  password_args=(-readpass /dev/fd/3)
  exec 3< <(printf '%s' "$INSTALLER_SIGN_PASSWORD")
fi

optional_args=()
[ -z "$url" ] || optional_args+=(-i "$url")
for server in "${timestamps[@]}"; do
  optional_args+=(-ts "$server")
done

# osslsigncode will not write over an existing file, and a failed run should
# leave no half-signed file where the finished one is expected: sign next to the
# output, then move the result into place.
work=$(mktemp -d "$(dirname -- "$output")/.sign.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
osslsigncode sign "${key_args[@]}" "${password_args[@]}" -h sha256 -n "$DESCRIPTION" \
  "${optional_args[@]}" -in "$input" -out "$work/signed.exe"
chmod --reference="$input" "$work/signed.exe"
mv -f -- "$work/signed.exe" "$output"
