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
