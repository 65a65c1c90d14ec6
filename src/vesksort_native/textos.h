// Prefix keys of strings: the pure code that reads a string's code points into 64-bit keys whose
// unsigned order is the strings' order, and compares what the keys leave equal.
//
// A key holds 7 bytes of a string's encoding from some position, big-endian, in its high bytes
// (zeros past the end), and in its low byte how many bytes remain from that position, at most 8.
// Two strings whose keys differ are ordered by them: where the 7 bytes are equal, a string that
// ends within them is a prefix of the other, or an equal string when both end at the same byte.
// Only equal keys with 8 in the low byte leave the order to the bytes after the 7.
//
// The encoding is the code units as bytes where every string is 1 byte per code point (bytes
// objects, and str lists of Latin-1 only), and otherwise a dense code of every code point, lone
// surrogates included: in both, byte order is code point order. The dense code is UTF-8's idea
// with fewer bytes: one below 0x80, two below limite_dois_bytes (every script of the Basic
// Multilingual Plane up to the first half of the common CJK ideographs), three for the rest, the
// first byte telling how many. A key's 7 bytes hold 3 code points below limite_dois_bytes and 2
// beyond it, where UTF-8 holds 2 of most CJK ideographs and 1 emoji.
#ifndef VESKSORT_TEXTOS_H
#define VESKSORT_TEXTOS_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesksort {

// Big-endian order of the bytes of a word read from memory: its first byte is its highest.
inline std::uint64_t em_ordem_de_bytes(std::uint64_t palavra) {
  if constexpr (std::endian::native == std::endian::little) {
    return __builtin_bswap64(palavra);
  } else {
    return palavra;
  }
}

// A string's code points as stored: `largura` bytes each (1, 2 or 4). `emoldurada`: the 7 bytes
// before the data may be read, and a zero byte follows it (a str or bytes object's header and
// terminator), so that a key is read in one load.
struct VistaTexto {
  const void* dados;
  std::size_t comprimento;
  int largura;
  bool emoldurada = false;
};

// A position in a string's encoding: code point `indice`, `salto` bytes into its code (always 0
// where code units are bytes).
struct PosicaoTexto {
  std::size_t indice;
  int salto;
};

inline constexpr int bytes_por_chave = 7;
inline constexpr std::uint64_t chave_inacabada = 8;  // the low byte of a key that leaves bytes

inline bool chave_deixa_bytes(std::uint64_t chave_ascendente) {
  return (chave_ascendente & 0xFF) == chave_inacabada;
}

inline std::uint32_t ponto_de_codigo(const VistaTexto& texto, std::size_t i) {
  switch (texto.largura) {
    case 1:
      return static_cast<const std::uint8_t*>(texto.dados)[i];
    case 2:
      return static_cast<const std::uint16_t*>(texto.dados)[i];
    default:
      return static_cast<const std::uint32_t*>(texto.dados)[i];
  }
}

// The key of the code units from `inicio` on, read as bytes (a string of 1 byte per code point).
// Always inlined: in the merges' comparisons, a call costs as much as the key.
[[gnu::always_inline]] inline std::uint64_t chave_bruta(const VistaTexto& texto,
                                                        std::size_t inicio) {
  const std::size_t de = inicio < texto.comprimento ? inicio : texto.comprimento;
  const auto* bytes = static_cast<const std::uint8_t*>(texto.dados) + de;
  const std::size_t restantes = texto.comprimento - de;
  std::uint64_t palavra = 0;
  if (texto.emoldurada) {
    // Without a branch (lengths vary at random): 8 bytes from the start, or the 8 that end with
    // the zero after the data, the rest of the string then being followed by zeros.
    const std::size_t ate_sete = restantes < 7 ? restantes : 7;
    std::memcpy(&palavra, bytes + ate_sete - 7, 8);
    const auto deslocamento = static_cast<int>(8 * (7 - ate_sete));
    return ((em_ordem_de_bytes(palavra) << deslocamento) & ~std::uint64_t{0xFF}) |
           (restantes < 8 ? restantes : chave_inacabada);
  }
  if (restantes >= 8) {
    std::memcpy(&palavra, bytes, 8);
    return (em_ordem_de_bytes(palavra) & ~std::uint64_t{0xFF}) | chave_inacabada;
  }
  std::memcpy(&palavra, bytes, restantes);
  return em_ordem_de_bytes(palavra) | restantes;
}

// Code points from 0x80 up to this one take two bytes, their first from 0x80 to 0xEE; the rest
// three, their first from 0xEF to 0xFF, which reach past 0x10FFFF.
inline constexpr std::uint32_t limite_dois_bytes = 0x80 + 111 * 256;

inline int comprimento_codificado(std::uint32_t ponto) {
  return ponto < 0x80 ? 1 : ponto < limite_dois_bytes ? 2 : 3;
}

// The code of code point `ponto`, its bytes in the low ones of the result, the first highest;
// its length in *bytes.
inline std::uint32_t codificar(std::uint32_t ponto, int* bytes) {
  if (ponto < 0x80) {
    *bytes = 1;
    return ponto;
  }
  if (ponto < limite_dois_bytes) {
    *bytes = 2;
    return 0x8000 + (ponto - 0x80);
  }
  *bytes = 3;
  return 0xEF0000 + (ponto - limite_dois_bytes);
}

template <class Unidade>
std::uint64_t chave_codificada_de(const Unidade* pontos, std::size_t comprimento,
                                  PosicaoTexto posicao) {
  std::uint64_t chave = 0;
  int livres = 64;  // bits of the key still to fill, from the top
  int salto = posicao.salto;
  for (std::size_t i = posicao.indice; i < comprimento && livres > 0; ++i) {
    int bytes;
    std::uint64_t codificado = codificar(pontos[i], &bytes);
    bytes -= salto;
    codificado &= (std::uint64_t{1} << (8 * bytes)) - 1;
    salto = 0;
    const int bits = 8 * bytes;
    if (bits <= livres) {
      livres -= bits;
      chave |= codificado << livres;
    } else {
      chave |= codificado >> (bits - livres);
      livres = 0;
    }
  }
  const std::uint64_t escritos = static_cast<std::uint64_t>(64 - livres) / 8;
  return escritos == 8 ? (chave & ~std::uint64_t{0xFF}) | chave_inacabada : chave | escritos;
}

// The key of the code from `posicao` on.
inline std::uint64_t chave_codificada(const VistaTexto& texto, PosicaoTexto posicao) {
  switch (texto.largura) {
    case 1:
      return chave_codificada_de(static_cast<const std::uint8_t*>(texto.dados), texto.comprimento,
                                 posicao);
    case 2:
      return chave_codificada_de(static_cast<const std::uint16_t*>(texto.dados), texto.comprimento,
                                 posicao);
    default:
      return chave_codificada_de(static_cast<const std::uint32_t*>(texto.dados), texto.comprimento,
                                 posicao);
  }
}

// The position `bytes` bytes of code after `posicao`.
inline PosicaoTexto avancar_codificado(const VistaTexto& texto, PosicaoTexto posicao, int bytes) {
  while (bytes > 0 && posicao.indice < texto.comprimento) {
    const int resto =
        comprimento_codificado(ponto_de_codigo(texto, posicao.indice)) - posicao.salto;
    if (resto > bytes) {
      posicao.salto += bytes;
      break;
    }
    bytes -= resto;
    ++posicao.indice;
    posicao.salto = 0;
  }
  return posicao;
}

// How many code points `a` and `b` share from `inicio` on, looking at no more than `limite`.
inline std::size_t prefixo_comum(const VistaTexto& a, const VistaTexto& b, std::size_t inicio,
                                 std::size_t limite = SIZE_MAX) {
  std::size_t fim = a.comprimento < b.comprimento ? a.comprimento : b.comprimento;
  fim = fim > inicio && fim - inicio > limite ? inicio + limite : fim;
  std::size_t i = inicio;
  if (a.largura == b.largura) {
    // Equal code units, 8 bytes at a time.
    const auto largura = static_cast<std::size_t>(a.largura);
    const auto* x = static_cast<const std::uint8_t*>(a.dados);
    const auto* y = static_cast<const std::uint8_t*>(b.dados);
    std::size_t byte = i * largura;
    const std::size_t fim_bytes = fim * largura;
    for (; byte + 8 <= fim_bytes; byte += 8) {
      std::uint64_t p;
      std::uint64_t q;
      std::memcpy(&p, x + byte, 8);
      std::memcpy(&q, y + byte, 8);
      if (p != q) {
        const auto diferente = static_cast<std::size_t>(
            std::countl_zero(em_ordem_de_bytes(p) ^ em_ordem_de_bytes(q)) / 8);
        return (byte + diferente) / largura - inicio;
      }
    }
    i = byte / largura;
  }
  while (i < fim && ponto_de_codigo(a, i) == ponto_de_codigo(b, i)) {
    ++i;
  }
  return i - inicio;
}

// Order of `a` and `b` from code point `inicio` on: negative, zero or positive.
inline int comparar_textos(const VistaTexto& a, const VistaTexto& b, std::size_t inicio) {
  if (a.largura == 1 && b.largura == 1) {
    if (a.emoldurada && b.emoldurada) {
      // Their next 7 bytes mostly tell, without a call.
      const std::uint64_t chave_a = chave_bruta(a, inicio);
      const std::uint64_t chave_b = chave_bruta(b, inicio);
      if (chave_a != chave_b) {
        return chave_a < chave_b ? -1 : 1;
      }
      if (!chave_deixa_bytes(chave_a)) {
        return 0;  // the same bytes to the end of both
      }
      inicio += bytes_por_chave;
    }
    const std::size_t fim = a.comprimento < b.comprimento ? a.comprimento : b.comprimento;
    const int ordem =
        inicio < fim ? std::memcmp(static_cast<const std::uint8_t*>(a.dados) + inicio,
                                   static_cast<const std::uint8_t*>(b.dados) + inicio, fim - inicio)
                     : 0;
    if (ordem != 0) {
      return ordem;
    }
    return a.comprimento < b.comprimento ? -1 : a.comprimento > b.comprimento ? 1 : 0;
  }
  const std::size_t i = inicio + prefixo_comum(a, b, inicio);
  if (i < a.comprimento && i < b.comprimento) {
    return ponto_de_codigo(a, i) < ponto_de_codigo(b, i) ? -1 : 1;
  }
  return a.comprimento < b.comprimento ? -1 : a.comprimento > b.comprimento ? 1 : 0;
}

}  // namespace vesksort

#endif
