<?php
// A Windows file version is four 16-bit numbers, and the launcher writes them in decimal joined by
// dots. Anything else is not a version at all, so it is refused rather than guessed at.
function ParseVersion(mixed $text): ?array
{
    if (!is_string($text) || !preg_match('/^\d{1,5}\.\d{1,5}\.\d{1,5}\.\d{1,5}$/D', $text)) {
        return null;
    }
    $numbers = array_map('intval', explode('.', $text));
    return max($numbers) <= 65535 ? $numbers : null;
}

// Number by number (PHP compares lists of equal length member by member), so that 10.0.0.0 is
// newer than 9.9.9.9, which comparing the texts would get wrong.
function IsOlder(array $version, array $than): bool
{
    return $version < $than;
}

// Why the launcher would not offer this release, or null when it would. It offers only an address
// that starts with http:// or https:// (ASCII case ignored) and holds no unit below U+0021; https
// is demanded besides, since a plain-HTTP download can be swapped by anyone on its path. publish
// and api.init.php both ask this, so that a release that reaches no one is never published or
// served.
function ReleaseProblem(mixed $version, mixed $address): ?string
{
    if (ParseVersion($version) === null) {
        return 'the version must be four decimal numbers of 0..65535, like 2.1.0.0';
    }
    if (!is_string($address) || preg_match('//u', $address) !== 1) {
        return 'the address must be text in UTF-8';
    }
    if (preg_match('/[\x00-\x20]/', $address)) {
        return 'the address holds a blank, a line break or another control character';
    }
    if (!preg_match('~^https://[^/?#]~i', $address)) {
        return 'the address must start with https:// and a host: the launcher offers only web'
            . ' addresses, and a plain-HTTP download can be swapped by anyone on its path';
    }
    return null;
}

// The whole body of an answer. The launcher reads nothing but the "update" member and decodes
// JSON escapes, so json_encode's ASCII-only defaults (\/ and \uXXXX) carry any address intact.
// It cannot fail: ReleaseProblem lets through only UTF-8, the one thing it could trip on.
function AnswerBody(string $update): string
{
    return json_encode(['update' => $update]);
}
