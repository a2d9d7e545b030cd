// The bytes that give bencode its structure.
#pragma once

namespace velka::token {

constexpr unsigned char integer = 'i';
constexpr unsigned char list = 'l';
constexpr unsigned char dict = 'd';
constexpr unsigned char end = 'e';
constexpr unsigned char colon = ':';
constexpr unsigned char digit_zero = '0';
constexpr unsigned char digit_nine = '9';

}  // namespace velka::token
