// Answers whose texts the front end reads as Shift_JIS: they are sent as
// Shift_JIS bytes.
#pragma once

namespace kova {

// 評価結果の文字列が長すぎます。
inline constexpr char SJIS_RESULT_TOO_LONG[] =
    "\x95\x5D\x89\xBF\x8C\x8B\x89\xCA\x82\xCC\x95\xB6\x8E\x9A\x97\xF1\x82\xAA\x92\xB7\x82\xB7\x82\xAC"
    "\x82\xDC\x82\xB7\x81\x42";
// 式のフォーマット不正( ... ) around the command text
inline constexpr char SJIS_BAD_FORMAT_OPEN[] =
    "\x8E\xAE\x82\xCC\x83\x74\x83\x48\x81\x5B\x83\x7D\x83\x62\x83\x67\x95\x73\x90\xB3(";
inline constexpr char SJIS_BAD_FORMAT_CLOSE[] = ")";
// 呼び出し履歴の指定不正
inline constexpr char SJIS_NO_SUCH_CALL[] =
    "\x8C\xC4\x82\xD1\x8F\x6F\x82\xB5\x97\x9A\x97\xF0\x82\xCC\x8E\x77\x92\xE8\x95\x73\x90\xB3";

}  // namespace kova
