# Sourced by the shell tests: WAV bytes written from the shell.
# le32 N: N as four little-endian bytes.
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
# wave CHANNELS RATE BITS SECONDS: a PCM WAV of noise.
wave() {
    local frame=$(($1 * $3 / 8)) bytes=$(($1 * $3 / 8 * $2 * $4))
    printf 'RIFF'; le32 $((bytes + 36)); printf 'WAVEfmt '; le32 16
    printf '\x01\x00'; printf "\\x$(printf %02x "$1")\\x00"; le32 "$2"; le32 $(($2 * frame))
    printf "\\x$(printf %02x "$frame")\\x00\\x$(printf %02x "$3")\\x00"
    printf 'data'; le32 "$bytes"
    head -c "$bytes" /dev/urandom
}
